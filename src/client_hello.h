// The server name a TLS client asks for, read from its ClientHello as the
// bytes pass through a tunnel. Pure: no sockets, no globals.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ferry {

// The most a client's first bytes are read for a ClientHello, record headers
// included; a hello not complete within them counts as not TLS.
inline constexpr std::size_t max_client_hello_bytes = 16 * 1024;

enum class hello_result { need_more, hello, not_tls };

// Reads the handshake records at the start of `bytes_so_far` (content type
// 22, version 3.x), a ClientHello split across records or not. Returns
// need_more while the bytes could still become a hello, not_tls as soon as
// they cannot, hello once the whole message has been read and checked, with
// `server_name` holding its host_name (empty when it has none). Anything
// after the hello is left unread. `server_name` is empty unless hello.
hello_result read_client_hello(std::string_view bytes_so_far, std::string& server_name);

}  // namespace ferry
