#pragma once

// Conversions between cell values and the integer and text forms fields are read and
// written in.

#include <cstdint>
#include <string>
#include <string_view>

#include "dataset/types.h"

namespace tovra::dataset {

// Null reads as 0; text is parsed; floats are rounded. Throws DataSetError naming `name`.
std::int64_t ValueToInteger(const Value& value, FieldType type, std::string_view name);
// Null reads as ""; booleans as "True"/"False"; date-times as "YYYY-MM-DD HH:MM:SS[.mmm]".
std::string ValueToText(const Value& value, FieldType type);
double ValueToFloat(const Value& value, FieldType type, std::string_view name);
bool ValueToBoolean(const Value& value, FieldType type, std::string_view name);

// A value of `type` from an integer or a text. An empty text gives null for every type but
// string and binary. Throws DataSetError naming `name` when it cannot be converted.
Value ValueFromInteger(std::int64_t number, FieldType type, std::string_view name);
Value ValueFromText(std::string_view text, FieldType type, std::string_view name);

// The same value converted to the kind a field of `type` holds; nothing when impossible.
bool ConvertValue(const Value& in, FieldType type, Value& out);

// Milliseconds since 1970-01-01 for a calendar date and time, and back.
std::int64_t MakeDateTime(int year, unsigned month, unsigned day, unsigned hour = 0,
                          unsigned minute = 0, unsigned second = 0, unsigned millisecond = 0);

}  // namespace tovra::dataset
