#include "json_reader.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

class Parser {
  public:
    explicit Parser(const std::string& text) : s_(text) {}

    bool document(JsonValue* out, std::string* why) {
        const bool ok = value(out, 0) && (blank(), pos_ == s_.size() || error("trailing text"));
        if (!ok) *why = why_ + " at byte " + std::to_string(pos_);
        return ok;
    }

  private:
    static constexpr int kMaxDepth = 64;

    bool error(const char* what) {
        if (why_.empty()) why_ = what;
        return false;
    }
    void blank() {
        while (pos_ < s_.size() && std::strchr(" \t\r\n", s_[pos_]) && s_[pos_] != '\0') ++pos_;
    }
    bool word(const char* w) {
        const std::size_t n = std::strlen(w);
        if (s_.compare(pos_, n, w) != 0) return false;
        pos_ += n;
        return true;
    }

    bool value(JsonValue* v, int depth) {
        if (depth > kMaxDepth) return error("nested too deep");
        blank();
        if (pos_ >= s_.size()) return error("missing value");
        const char c = s_[pos_];
        if (c == '{') return object(v, depth);
        if (c == '[') return array(v, depth);
        if (c == '"') {
            v->kind = JsonValue::Kind::string;
            return string(&v->text);
        }
        if (word("true") || word("false")) {
            v->kind = JsonValue::Kind::boolean;
            v->boolean = c == 't';
            return true;
        }
        if (word("null")) return true;
        return number(v);
    }

    bool number(JsonValue* v) {
        const char* begin = s_.c_str() + pos_;
        std::size_t k = pos_;
        if (k < s_.size() && s_[k] == '-') ++k;
        if (k >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[k])))
            return error("not a value");
        char* end = nullptr;
        v->number = std::strtod(begin, &end);
        v->kind = JsonValue::Kind::number;
        pos_ += static_cast<std::size_t>(end - begin);
        return true;
    }

    bool string(std::string* out) {
        ++pos_;  // the opening quote
        while (pos_ < s_.size() && s_[pos_] != '"') {
            const char c = s_[pos_++];
            if (static_cast<unsigned char>(c) < 0x20) return error("control character in string");
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (pos_ >= s_.size()) break;
            const char e = s_[pos_++];
            const char* simple = std::strchr("\"\\/bfnrt", e);
            if (simple && e != '\0') {
                *out += "\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
            } else if (e == 'u' && pos_ + 4 <= s_.size()) {
                char* end = nullptr;
                const std::string hex = s_.substr(pos_, 4);
                const unsigned long u = std::strtoul(hex.c_str(), &end, 16);
                if (end != hex.c_str() + 4) return error("bad \\u escape");
                pos_ += 4;
                if (u < 0x80) {
                    *out += char(u);
                } else if (u < 0x800) {
                    *out += char(0xC0 | (u >> 6));
                    *out += char(0x80 | (u & 0x3F));
                } else {
                    *out += char(0xE0 | (u >> 12));
                    *out += char(0x80 | ((u >> 6) & 0x3F));
                    *out += char(0x80 | (u & 0x3F));
                }
            } else {
                return error("bad escape");
            }
        }
        if (pos_ >= s_.size()) return error("unterminated string");
        ++pos_;
        return true;
    }

    bool array(JsonValue* v, int depth) {
        v->kind = JsonValue::Kind::array;
        ++pos_;
        blank();
        if (pos_ < s_.size() && s_[pos_] == ']') return ++pos_, true;
        for (;;) {
            v->items.emplace_back();
            if (!value(&v->items.back(), depth + 1)) return false;
            blank();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == ']') return ++pos_, true;
            return error("expected ',' or ']'");
        }
    }

    bool object(JsonValue* v, int depth) {
        v->kind = JsonValue::Kind::object;
        ++pos_;
        blank();
        if (pos_ < s_.size() && s_[pos_] == '}') return ++pos_, true;
        for (;;) {
            blank();
            if (pos_ >= s_.size() || s_[pos_] != '"') return error("expected a member name");
            std::string key;
            if (!string(&key)) return false;
            blank();
            if (pos_ >= s_.size() || s_[pos_] != ':') return error("expected ':'");
            ++pos_;
            v->members.emplace_back(std::move(key), JsonValue());
            if (!value(&v->members.back().second, depth + 1)) return false;
            blank();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == '}') return ++pos_, true;
            return error("expected ',' or '}'");
        }
    }

    const std::string& s_;
    std::size_t pos_ = 0;
    std::string why_;
};

}  // namespace

const JsonValue* JsonValue::find(const std::string& key) const {
    if (kind != Kind::object) return nullptr;
    for (const auto& [name, value] : members)
        if (name == key) return &value;
    return nullptr;
}

bool parse_json(const std::string& text, JsonValue* out, std::string* why) {
    *out = JsonValue();
    return Parser(text).document(out, why);
}
