// The library's error classes and small shared classes of the foundation.
#pragma once

#include <exception>
#include <memory>
#include <string>

namespace kbz
{

// The common error base. Every error the library raises derives from it; the
// console reports one that escapes a command as "ClassName: message".
class Exception : public std::exception
{
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}

    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }
    void SetMessage(std::string message) { FMessage = std::move(message); }

    virtual std::string ClassName() const { return "Exception"; }
    // A copy of the same class and message, for events delivered later on another thread.
    virtual std::unique_ptr<Exception> Clone() const { return std::make_unique<Exception>(*this); }

private:
    std::string FMessage;
};

// Declares an error class derived from Base that reports its own name.
#define KBZ_DECLARE_EXCEPTION(Name, Base)                                                          \
    class Name : public Base                                                                       \
    {                                                                                              \
    public:                                                                                        \
        using Base::Base;                                                                          \
        std::string ClassName() const override { return #Name; }                                   \
        std::unique_ptr<::kbz::Exception> Clone() const override                                   \
        {                                                                                          \
            return std::make_unique<Name>(*this);                                                  \
        }                                                                                          \
    }

// A text that is not a valid number (ports, intervals, hex pairs, Content-Length).
KBZ_DECLARE_EXCEPTION(EConvertError, Exception);
// A list operation that is not allowed (duplicates, index out of range).
KBZ_DECLARE_EXCEPTION(EListError, Exception);
// A value outside what a property accepts.
KBZ_DECLARE_EXCEPTION(EArgumentException, Exception);
// Assigning an option record from a record of an unrelated kind.
KBZ_DECLARE_EXCEPTION(EConvertAssign, Exception);
// Errors of the WebSocket engine and server, with the fixed English texts of the protocol code.
KBZ_DECLARE_EXCEPTION(TkbzWSException, Exception);

// The message of any exception, for reporting.
std::string kbzExceptionMessage(const std::exception& e);
// The class name of any exception: our own errors report theirs, others "Exception".
std::string kbzExceptionClassName(const std::exception& e);

} // namespace kbz
