#include "config.h"

#include <cstdlib>

std::int64_t LISTEN_PORT = 8080;
std::int64_t MAX_RAM_CACHE = 100;
std::int64_t MAX_HDD_CACHE = 20000;
std::int16_t CON_TIMEOUT = 10;
std::int64_t BACKLOG = 30;

const char* envcmp(const char* name, const char* entry) {
  while (*name != '\0' && *name == *entry) {
    ++name;
    ++entry;
  }
  if (*name == '\0' && *entry == '=') return entry + 1;
  return "";
}

int rchk_conf(char** env) {
  for (; *env != nullptr; ++env) {
    const char* value;
    if (*(value = envcmp("LISTEN_PORT", *env)) != '\0') {
      LISTEN_PORT = std::strtol(value, nullptr, 10);
    } else if (*(value = envcmp("MAX_RAM_CACHE", *env)) != '\0') {
      MAX_RAM_CACHE = std::strtol(value, nullptr, 10);
    } else if (*(value = envcmp("MAX_HDD_CACHE", *env)) != '\0') {
      MAX_HDD_CACHE = std::strtol(value, nullptr, 10);
    } else if (*(value = envcmp("CON_TIMEOUT", *env)) != '\0') {
      // Only the low 16 bits are kept: -1 becomes 65535 seconds of wait.
      CON_TIMEOUT = static_cast<std::int16_t>(std::strtol(value, nullptr, 10));
    } else if (*(value = envcmp("BACKLOG", *env)) != '\0') {
      BACKLOG = std::strtol(value, nullptr, 10);
    }
  }
  return 0;
}
