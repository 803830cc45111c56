// A small reader of JSON text (RFC 8259), enough for the run records the program writes:
// objects, arrays, strings with their escapes (\u escapes of the basic plane become UTF-8),
// numbers, true, false and null.
#ifndef JSON_READER_H
#define JSON_READER_H

#include <string>
#include <utility>
#include <vector>

struct JsonValue {
    enum class Kind { null, boolean, number, string, array, object };
    Kind kind = Kind::null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;                            // an array's elements
    std::vector<std::pair<std::string, JsonValue>> members;  // an object's, in file order

    // The member `key` of an object; null when absent or when this is not an object.
    const JsonValue* find(const std::string& key) const;
};

// The value of the whole text; false, with the reason and its byte offset in *why, when the
// text is not one JSON value.
bool parse_json(const std::string& text, JsonValue* out, std::string* why);

#endif
