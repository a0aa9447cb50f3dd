#pragma once
// The one failure hierarchy of the daemon. Each failure carries its kind, the text a client
// sees (composed the way the platform's class library composes its messages: bare keys joined
// with their arguments), any inner failure and the call stack where it was raised.

#include <boost/stacktrace/stacktrace.hpp>

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace Quillmark::Platform {

enum class FailureKind {
    Argument,
    ArgumentNull,
    ArgumentOutOfRange,
    InvalidOperation,
    Plain,
    Format,
    Decode,
    Overflow,
    EndOfStream,
    NotImplemented,
    Cancellation,
    WebSocket,
    OutOfMemory,
    InputOutput,
};

// The kind's name as a failure description shows it, e.g. "InvalidOperationFailure".
std::string_view KindName(FailureKind kind) noexcept;

// A platform text: the key followed, for each argument, by ", " and the argument.
std::string PlatformText(std::string_view key, std::initializer_list<std::string_view> arguments = {});

class Failure : public std::exception {
public:
    Failure(FailureKind kind, std::string message, std::exception_ptr inner = nullptr);

    FailureKind Kind() const noexcept { return kind_; }
    // The text that reaches a client in "errorMessage".
    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }
    const std::exception_ptr& Inner() const noexcept { return inner_; }
    // Where the failure was raised.
    const boost::stacktrace::stacktrace& Stack() const noexcept { return stack_; }

private:
    FailureKind kind_;
    std::string message_;
    std::exception_ptr inner_;
    boost::stacktrace::stacktrace stack_;
};

// An argument failure: "M Arg_ParamName_Name, N", or M alone without an argument name.
class ArgumentFailure : public Failure {
public:
    explicit ArgumentFailure(std::string message, std::optional<std::string> paramName = std::nullopt);
    const std::optional<std::string>& ParamName() const noexcept { return paramName_; }

protected:
    ArgumentFailure(FailureKind kind, std::string message, std::optional<std::string> paramName);

private:
    std::optional<std::string> paramName_;
};

// A missing argument value: "ArgumentNull_Generic Arg_ParamName_Name, N".
class ArgumentNullFailure : public ArgumentFailure {
public:
    explicit ArgumentNullFailure(std::string paramName);
};

// Composed like an argument failure: "M Arg_ParamName_Name, N".
class ArgumentOutOfRangeFailure : public ArgumentFailure {
public:
    explicit ArgumentOutOfRangeFailure(std::string paramName,
                                       std::string message = "ArgumentOutOfRange_Generic");
};

#define QUILLMARK_SIMPLE_FAILURE(Name, KindValue, DefaultMessage)                          \
    class Name : public Failure {                                                          \
    public:                                                                                \
        explicit Name(std::string message = DefaultMessage, std::exception_ptr inner = nullptr) \
            : Failure(FailureKind::KindValue, std::move(message), std::move(inner)) {}     \
    };

QUILLMARK_SIMPLE_FAILURE(InvalidOperationFailure, InvalidOperation, "Arg_InvalidOperationException")
QUILLMARK_SIMPLE_FAILURE(PlainFailure, Plain, "Arg_Exception")
QUILLMARK_SIMPLE_FAILURE(FormatFailure, Format, "Arg_FormatException")
QUILLMARK_SIMPLE_FAILURE(DecodeFailure, Decode, "Arg_JsonException")
QUILLMARK_SIMPLE_FAILURE(OverflowFailure, Overflow, "Arg_OverflowException")
QUILLMARK_SIMPLE_FAILURE(EndOfStreamFailure, EndOfStream, "IO_EOF_ReadBeyondEOF")
QUILLMARK_SIMPLE_FAILURE(NotImplementedFailure, NotImplemented, "Arg_NotImplementedException")
QUILLMARK_SIMPLE_FAILURE(CancellationFailure, Cancellation, "OperationCanceled")
QUILLMARK_SIMPLE_FAILURE(WebSocketFailure, WebSocket, "net_WebSockets_Generic")
QUILLMARK_SIMPLE_FAILURE(OutOfMemoryFailure, OutOfMemory, "Arg_OutOfMemoryException")
QUILLMARK_SIMPLE_FAILURE(IoFailure, InputOutput, "Arg_IOException")

#undef QUILLMARK_SIMPLE_FAILURE

// The kind of any caught failure; std::bad_alloc counts as out of memory, other standard
// exceptions as plain failures.
FailureKind KindOf(const std::exception& failure) noexcept;

// The client text of any caught failure (Failure::Message, else what()).
std::string MessageOf(const std::exception_ptr& failure);

// A failure's full description: kind and message, each inner failure, and the call stack.
// The one rendering used by log lines and by the crash report; may span several lines.
std::string DescribeFailure(const std::exception_ptr& failure);
std::string DescribeFailure(const std::exception& failure);

}  // namespace Quillmark::Platform
