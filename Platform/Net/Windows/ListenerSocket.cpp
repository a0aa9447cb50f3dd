#include "Platform/Net/NetDetail.hpp"

#include <winsock2.h>

namespace Quillmark::Platform::Net::Detail {

namespace {
// SO_EXCLUSIVEADDRUSE as an Asio socket option.
class ExclusiveAddressUse {
public:
    template <class Protocol>
    int level(const Protocol&) const noexcept { return SOL_SOCKET; }
    template <class Protocol>
    int name(const Protocol&) const noexcept { return SO_EXCLUSIVEADDRUSE; }
    template <class Protocol>
    const int* data(const Protocol&) const noexcept { return &value_; }
    template <class Protocol>
    std::size_t size(const Protocol&) const noexcept { return sizeof value_; }

private:
    int value_ = 1;
};
}  // namespace

void ClaimPort(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
    // Here the usual reuse flag would let a second socket take the port from under a live
    // listener; exclusive use refuses any other socket the port, whatever flags it sets.
    acceptor.set_option(ExclusiveAddressUse(), ec);
}

}  // namespace Quillmark::Platform::Net::Detail
