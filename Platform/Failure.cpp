#include "Platform/Failure.hpp"

#include "Platform/CodeAddress.hpp"

#include <boost/stacktrace/frame.hpp>

#include <new>
#include <sstream>
#include <typeinfo>

namespace Quillmark::Platform {

std::string_view KindName(FailureKind kind) noexcept {
    switch (kind) {
        case FailureKind::Argument: return "ArgumentFailure";
        case FailureKind::ArgumentNull: return "ArgumentNullFailure";
        case FailureKind::ArgumentOutOfRange: return "ArgumentOutOfRangeFailure";
        case FailureKind::InvalidOperation: return "InvalidOperationFailure";
        case FailureKind::Plain: return "Failure";
        case FailureKind::Format: return "FormatFailure";
        case FailureKind::Decode: return "DecodeFailure";
        case FailureKind::Overflow: return "OverflowFailure";
        case FailureKind::EndOfStream: return "EndOfStreamFailure";
        case FailureKind::NotImplemented: return "NotImplementedFailure";
        case FailureKind::Cancellation: return "CancellationFailure";
        case FailureKind::WebSocket: return "WebSocketFailure";
        case FailureKind::OutOfMemory: return "OutOfMemoryFailure";
        case FailureKind::InputOutput: return "IoFailure";
    }
    return "Failure";
}

std::string PlatformText(std::string_view key, std::initializer_list<std::string_view> arguments) {
    std::string text(key);
    for (auto argument : arguments) {
        text += ", ";
        text += argument;
    }
    return text;
}

Failure::Failure(FailureKind kind, std::string message, std::exception_ptr inner)
    : kind_(kind), message_(std::move(message)), inner_(std::move(inner)), stack_() {}

namespace {
std::string WithParam(std::string message, const std::optional<std::string>& paramName) {
    if (paramName) {
        message += " Arg_ParamName_Name, ";
        message += *paramName;
    }
    return message;
}
}  // namespace

ArgumentFailure::ArgumentFailure(std::string message, std::optional<std::string> paramName)
    : ArgumentFailure(FailureKind::Argument, std::move(message), std::move(paramName)) {}

ArgumentFailure::ArgumentFailure(FailureKind kind, std::string message,
                                 std::optional<std::string> paramName)
    : Failure(kind, WithParam(std::move(message), paramName)), paramName_(std::move(paramName)) {}

ArgumentNullFailure::ArgumentNullFailure(std::string paramName)
    : ArgumentFailure(FailureKind::ArgumentNull, "ArgumentNull_Generic", std::move(paramName)) {}

ArgumentOutOfRangeFailure::ArgumentOutOfRangeFailure(std::string paramName, std::string message)
    : ArgumentFailure(FailureKind::ArgumentOutOfRange, std::move(message), std::move(paramName)) {}

FailureKind KindOf(const std::exception& failure) noexcept {
    if (auto* ours = dynamic_cast<const Failure*>(&failure)) return ours->Kind();
    if (dynamic_cast<const std::bad_alloc*>(&failure)) return FailureKind::OutOfMemory;
    return FailureKind::Plain;
}

std::string MessageOf(const std::exception_ptr& failure) {
    if (!failure) return {};
    try {
        std::rethrow_exception(failure);
    } catch (const Failure& ours) {
        return ours.Message();
    } catch (const std::bad_alloc&) {
        // The client text of our own out-of-memory failure, without building one.
        return "Arg_OutOfMemoryException";
    } catch (const std::exception& other) {
        return other.what();
    } catch (...) {
        return "Arg_Exception";
    }
}

namespace {
void AppendStack(std::ostringstream& out, const boost::stacktrace::stacktrace& stack) {
    for (const auto& frame : stack) {
        out << "\n   at ";
        auto name = frame.name();
        out << (name.empty() ? DescribeCodeAddress(frame.address()) : name);
        auto file = frame.source_file();
        if (!file.empty()) out << " in " << file << ":" << frame.source_line();
    }
}

void Describe(std::ostringstream& out, const std::exception& failure) {
    if (auto* ours = dynamic_cast<const Failure*>(&failure)) {
        out << KindName(ours->Kind()) << ": " << ours->Message();
        if (ours->Inner()) {
            out << "\n ---> ";
            try {
                std::rethrow_exception(ours->Inner());
            } catch (const std::exception& inner) {
                Describe(out, inner);
            } catch (...) {
                out << "unknown failure";
            }
            out << "\n   --- End of inner failure ---";
        }
        AppendStack(out, ours->Stack());
        return;
    }
    out << KindName(KindOf(failure)) << " (" << typeid(failure).name() << "): " << failure.what();
}
}  // namespace

std::string DescribeFailure(const std::exception& failure) {
    std::ostringstream out;
    Describe(out, failure);
    return out.str();
}

std::string DescribeFailure(const std::exception_ptr& failure) {
    if (!failure) return {};
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& caught) {
        return DescribeFailure(caught);
    } catch (...) {
        return "Failure: unknown failure";
    }
}

}  // namespace Quillmark::Platform
