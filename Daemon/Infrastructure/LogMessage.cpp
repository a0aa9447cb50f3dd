#include "Daemon/Infrastructure/LogMessage.hpp"

#include "Common/TextDecoding.hpp"
#include "Platform/Failure.hpp"

namespace Quillmark::Daemon::Infrastructure {

namespace {

std::string Bounded(std::string_view text) {
    // Only the head is repaired: a sequence that the head cuts in two turns into U+FFFD past
    // the bound, never before it, as no sequence is longer than four bytes.
    auto bounded = Common::ToValidUtf8(text.substr(0, LogMessage::MaxTextBytes + 4));
    if (bounded.size() <= LogMessage::MaxTextBytes) return bounded;
    std::size_t cut = LogMessage::MaxTextBytes;
    while ((static_cast<unsigned char>(bounded[cut]) & 0xC0) == 0x80) --cut;
    bounded.resize(cut);
    bounded += "... [truncated: " + std::to_string(text.size()) + " bytes in all]";
    return bounded;
}

}  // namespace

LogMessage::LogMessage(std::string_view text) : text_(Bounded(text)) {}

LogMessage::LogMessage(const std::exception_ptr& failure) : text_(Bounded(Platform::DescribeFailure(failure))) {}

LogMessage::LogMessage(const std::exception& failure) : text_(Bounded(Platform::DescribeFailure(failure))) {}

}  // namespace Quillmark::Daemon::Infrastructure
