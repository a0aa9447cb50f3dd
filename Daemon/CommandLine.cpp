#include "Daemon/CommandLine.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Text/Ascii.hpp"
#include "Platform/Text/Integer.hpp"

#include <boost/url/parse.hpp>

namespace Quillmark::Daemon {

using Platform::Text::EqualsIgnoreCase;
using Platform::Text::StartsWithIgnoreCase;

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = Platform::Text::ToLowerAscii(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "+" as a blank and percent-escapes as bytes; an escape that is not two hex digits stays as written.
std::string DecodeQueryComponent(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// An absolute URL as RFC 3986 reads it. The URL library lets an authority run on into a path
// that does not begin with "/" ("start-ws:abc/" as an empty port and the path "abc/"), and
// takes a port of any size; both are a bad port.
boost::urls::url_view ParseAbsoluteUrl(std::string_view text) {
    auto url = boost::urls::parse_uri(text);
    if (!url) throw Platform::FormatFailure("net_uri_BadFormat");
    if (url->has_authority()) {
        const auto path = url->encoded_path();
        const bool pathFollowsAuthority = path.empty() || path.front() == '/';
        const bool portFits = url->port().empty() || Platform::Text::ParseInteger<std::uint16_t>(url->port());
        if (!pathFollowsAuthority || !portFits) throw Platform::FormatFailure("net_uri_BadPort");
    }
    return *url;
}

}  // namespace

std::optional<std::string> CommandLine::QueryParameter(std::string_view query, std::string_view name) {
    if (!query.empty() && query.front() == '?') query.remove_prefix(1);
    std::optional<std::string> joined;
    while (true) {
        auto amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        auto eq = pair.find('=');
        // A pair without "=" has a value but no name.
        if (eq != std::string_view::npos && EqualsIgnoreCase(DecodeQueryComponent(pair.substr(0, eq)), name)) {
            std::string value = DecodeQueryComponent(pair.substr(eq + 1));
            joined = joined ? *joined + "," + value : value;
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return joined;
}

CommandLine CommandLine::Read(const std::vector<std::string>& args) {
    CommandLine result;
    for (const auto& arg : args) {
        if (StartsWithIgnoreCase(arg, "quillmark://")) {
            const auto url = ParseAbsoluteUrl(arg);
            const std::string host = url.host();
            if (EqualsIgnoreCase(host, "start-ws")) {
                result.WebSocket = true;
                // The query as the parser expects it, with its "?": only that one "?" is skipped, so
                // in "??port=1" the name is "?port".
                const std::string query = url.has_query() ? "?" + std::string(url.encoded_query()) : "";
                if (auto text = QueryParameter(query, "port"))
                    if (auto port = Platform::Text::ParseInteger<std::uint16_t>(*text)) result.Port = *port;
            } else if (EqualsIgnoreCase(host, "start")) {
                result.CustomUrlProtocol = true;
            }
        } else if (StartsWithIgnoreCase(arg, "chrome-extension://")) {
            result.NativeMessaging = true;
        }
    }
    return result;
}

}  // namespace Quillmark::Daemon
