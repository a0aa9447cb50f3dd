#include "Platform/Net/HttpListener.hpp"

#include "Platform/Failure.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Quillmark::Platform::Net::HttpListener;

// Whether a socket that asks to share addresses gets the port bound at the address.
bool ReuseTakes(asio::io_context& io, const char* address, std::uint16_t port) {
    tcp::acceptor other(io);
    other.open(tcp::v4());
    other.set_option(tcp::acceptor::reuse_address(true));
    boost::system::error_code ec;
    other.bind({asio::ip::make_address_v4(address), port}, ec);
    return !ec;
}

// Where the reuse flag lets a second socket bind a port in use (Windows), the listener claims
// its port alone; a port in use fails the start, which ends the daemon with exit code 1.
TEST(ListenerPort, APortInUseIsTakenByNoOther) {
    asio::io_context io;
    HttpListener first(io.get_executor());
    first.Start("127.0.0.1", 0);
    const auto port = first.Port();
    ASSERT_NE(port, 0);

    HttpListener second(io.get_executor());
    EXPECT_THROW(second.Start("127.0.0.1", port), Quillmark::Platform::IoFailure);
    EXPECT_FALSE(ReuseTakes(io, "127.0.0.1", port));
    EXPECT_FALSE(ReuseTakes(io, "0.0.0.0", port));
}

}  // namespace
