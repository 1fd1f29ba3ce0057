#pragma once

#include <string>

// Whole-file reading and crash-safe replacing, for the small state files the
// daemon keeps across restarts. Plain functions; safe from any thread as long
// as no two threads write the same name at once.

// Reads the whole file into `data` (appended). `opened` tells whether the
// file could be opened at all, so a missing file is told from a failed read.
bool readWholeFile(const std::string& name, std::string& data, bool& opened);

// Writes `data` to a temporary file beside `name`, flushes it to disk and
// renames it over `name`, so a crash leaves the old file or the new one,
// never a mix. On failure the temporary file is removed and `name` is
// untouched. `opened` tells whether the temporary file could be created.
bool writeFileAtomically(const std::string& name, const std::string& data, bool& opened);
