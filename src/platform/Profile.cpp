#include "Profile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t ValueLimit = 1023;
// Longer lines are cut here; no section, key or value of interest is longer,
// and a huge line must not be held in memory.
constexpr std::size_t LineLimit = 64 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && IsBlank(text[first])) ++first;
    while (last > first && IsBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

std::string Unquote(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// Reads the next line (without its LF). A longer line keeps its first
// LineLimit bytes and its last non-blank character, so the quote that closes
// a huge quoted value still pairs with the opening one.
bool ReadLine(std::FILE* file, std::string& line) {
    line.clear();
    int c;
    bool any = false;
    bool cut = false;
    char lastBeyond = 0;
    while ((c = getc_unlocked(file)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (line.size() < LineLimit) {
            line.push_back(static_cast<char>(c));
        } else if (!IsBlank(static_cast<char>(c))) {
            cut = true;
            lastBeyond = static_cast<char>(c);
        }
    }
    if (cut) line.push_back(lastBeyond);
    return any;
}

std::optional<std::string> FindValue(const char* fileName, const std::string& section, const std::string& key) {
    std::FILE* file = std::fopen(fileName, "rb");
    if (!file) return std::nullopt;
    std::string line;
    bool inSection = false;
    bool sectionSeen = false;
    bool firstLine = true;
    std::optional<std::string> found;
    while (!found && ReadLine(file, line)) {
        if (firstLine && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
        firstLine = false;
        std::string trimmed = Trim(line);
        if (!trimmed.empty() && trimmed.front() == '[') {
            std::size_t close = trimmed.find(']');
            std::string name = Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            if (inSection) break;  // only the first section of that name is read
            inSection = SameText(name, section);
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection) continue;
        std::size_t equals = trimmed.find('=');
        if (equals == std::string::npos) continue;
        if (SameText(Trim(trimmed.substr(0, equals)), key)) found = Unquote(Trim(trimmed.substr(equals + 1)));
    }
    std::fclose(file);
    return found;
}

}  // namespace

std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                                       char* buffer, std::uint32_t size, const char* fileName) {
    if (!buffer || size == 0) return 0;
    std::optional<std::string> value = FindValue(fileName ? fileName : "", section ? section : "", key ? key : "");
    std::string text = value ? *value : std::string(defaultValue ? defaultValue : "");
    text = text.substr(0, std::strlen(text.c_str()));  // a NUL ends the value
    std::size_t length = std::min<std::size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return static_cast<std::uint32_t>(length);
}

std::optional<std::int32_t> TryStrToInt(const std::string& original) {
    std::string text = original;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = "$" + text.substr(2);
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i == text.size()) return std::nullopt;
    if (text[i] == '$') {
        ++i;
        if (i == text.size()) return std::nullopt;
        std::uint64_t value = 0;
        int significant = 0;
        for (; i < text.size(); ++i) {
            char c = text[i];
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0) return std::nullopt;
            if (value != 0 || digit != 0) ++significant;
            if (significant > 8) return std::nullopt;
            value = value * 16 + static_cast<std::uint64_t>(digit);
        }
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    }
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
        if (value > 2147483647) return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

std::int32_t StrToIntDef(const std::string& text, std::int32_t defaultValue) {
    return TryStrToInt(text).value_or(defaultValue);
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
    char buffer[ValueLimit + 1];
    GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer, sizeof buffer,
                             FFileName.c_str());
    return buffer;
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, std::int32_t defaultValue) const {
    return StrToIntDef(ReadString(section, key, ""), defaultValue);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool defaultValue) const {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}
