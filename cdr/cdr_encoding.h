#pragma once

#include <string>
#include <vector>

#include "cdr/cdr_mode.h"
#include "cdr/cdr_record.h"

// The stored forms of a CDR: one CSV row of 28 columns, or one JSON object.
// Which columns or members a record fills depends on its kind, derived from
// its origin, the mode and its fields. Pure functions, safe from any thread.

inline constexpr size_t kCDRColumnCount = 28;

// The first line of every CSV file (without its newline).
extern const char* const kCDRCsvHeader;

// The record as the backends store it: addresses longer than 4 characters
// keep their first 4 and have every further character replaced by "*".
void anonymiseRecord(CDRRecord& record);

// Appends `field` to `out`, in double quotes with inner quotes doubled when it
// holds a comma, a double quote, CR or LF; unchanged otherwise.
void appendCsvField(std::string& out, const std::string& field);

// Appends one row (28 columns, ended by "\n"), of the anonymised record when
// `anonymise` is set.
void appendCsvRow(std::string& out, const CDRRecord& record, CDRMode mode, bool anonymise = false);

// One JSON object per record, in an array, serialised compactly. Octets that
// are not UTF-8 are replaced by U+FFFD, so building the body never fails on
// record contents.
std::string jsonBatch(const std::vector<CDRRecord>& batch, CDRMode mode, bool anonymise);
