// The profile-string service and the number conversions the information
// file's values go through.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Copies the value of key in section of the INI file into buffer (at most
// size - 1 characters, zero-terminated) and returns its length. Sections and
// keys are matched without regard to case; the value loses surrounding
// blanks and one matching pair of quotes. A missing file, section or key
// gives defaultValue. The first occurrence of a section and of a key counts.
std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                                       char* buffer, std::uint32_t size, const char* fileName);

// Reads a whole number: optional blanks, then an optional sign and decimal
// digits within -2147483647..2147483647, or "$" (or "0x"/"0X" in front of
// more text) and one to eight significant hexadecimal digits taken as a
// 32-bit pattern. Anything else is unreadable.
std::optional<std::int32_t> TryStrToInt(const std::string& text);
std::int32_t StrToIntDef(const std::string& text, std::int32_t defaultValue);

// Reads values of one INI file the way the profile service returns them.
class TIniFile {
public:
    explicit TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}
    std::string ReadString(const std::string& section, const std::string& key, const std::string& defaultValue) const;
    std::int32_t ReadInteger(const std::string& section, const std::string& key, std::int32_t defaultValue) const;
    bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;

private:
    std::string FFileName;
};
