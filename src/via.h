// The Via field (RFC 9110, 7.6.3): the entry ferry appends to what it
// forwards, and the loop it reveals when a request already names ferry.
// Pure but for default_via_name, which asks the kernel for the host name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ferry {

// Whether any comma-separated entry of `via_values` ("1.1 a, HTTP/1.1 b
// (comment)") was received by `own_name`: its second token equals the name
// without case, whole, never as a part. Commas inside a comment do not split
// entries. False for an empty name.
bool via_names(std::string_view via_values, std::string_view own_name);

// The one Via line to send: every value of the head's Via fields, in order
// and joined with ", ", then "1.1 NAME"; "Via: ...\r\n". Empty values are
// left out.
std::string via_field_line(const std::vector<std::string_view>& via_values,
                           std::string_view own_name);

// The machine's host name, or "ferry" when it cannot be had or is not a
// token.
std::string default_via_name();

// Reads VIA_NAME: a token (letters, digits and !#$%&'*+-.^_`|~), at most
// 255 bytes; "off" leaves `name` empty, which means no Via is sent and no
// loop is looked for. On failure returns false, `name` unchanged and
// `problem` saying why.
bool parse_via_name(std::string_view value, std::string& name, std::string& problem);

}  // namespace ferry
