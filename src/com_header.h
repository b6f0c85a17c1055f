// What the request head scan found.
#pragma once

struct http_header {
  char buff[4096];  // not filled by the scan; nothing reads it
  char hostname[256];
  char proxycon[20];
  char cache_control[10];
};
