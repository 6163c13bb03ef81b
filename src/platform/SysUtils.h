// The base exception class and the few text helpers the program shares.
#pragma once

#include <exception>
#include <string>

// Every failure the program raises carries a fixed English text.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const std::string& Message() const { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// An integer that does not fit the field it is stored in.
class ERangeError : public Exception {
public:
    ERangeError() : Exception("Range check error") {}
};

class EStreamError : public Exception {
public:
    using Exception::Exception;
};

class EFOpenError : public EStreamError {
public:
    explicit EFOpenError(const std::string& fileName) : EStreamError("Cannot open file " + fileName) {}
};

class EFCreateError : public EStreamError {
public:
    explicit EFCreateError(const std::string& fileName) : EStreamError("Cannot create file " + fileName) {}
};

inline std::string IntToStr(long long value) { return std::to_string(value); }

// Upper-cases a to z only, as the locale-free comparisons of the program do.
inline std::string AsciiUpperCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}
