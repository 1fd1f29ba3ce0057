#pragma once

#include <cstddef>
#include <string_view>

// Whether `text` opens more than `maxDepth` arrays or objects inside one
// another. Scans the raw bytes (brackets inside strings, escaped quotes
// included, do not count), so a hostile body costs one pass and no memory
// before any parser recurses into it; malformed text is left to the
// parser. Safe from any thread.
bool jsonNestingExceeds(std::string_view text, size_t maxDepth);
