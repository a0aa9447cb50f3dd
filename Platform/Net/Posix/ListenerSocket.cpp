#include "Platform/Net/NetDetail.hpp"

namespace Quillmark::Platform::Net::Detail {

void ClaimPort(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
    // Only the rebinding of a port left in TIME_WAIT: a port some live socket holds still fails.
    acceptor.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true), ec);
}

}  // namespace Quillmark::Platform::Net::Detail
