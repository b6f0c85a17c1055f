// A real browser page through ferry: headless Chromium keeps up to 32 tunnels
// open to its proxy at once, more than ferry once had slots for.
#include <gtest/gtest.h>

#include "harness.h"
#include "origin_servers.h"

using namespace harness;

TEST(Browser, PageWithEightyHttpsImagesOverTenHostsLosesNone) {
  std::string hosts = "127.0.0.1 localhost\n127.0.0.1 origin.test\n";
  for (int h = 0; h < 10; ++h) hosts += "127.0.0.1 img" + std::to_string(h) + ".test\n";
  set_hosts(hosts);
  // nginx's usual keep-alive, so Chromium holds its tunnels open and reuses them.
  nginx_origin origin("127.0.0.1", "75", scheme::https);
  // Image i is i + 1 pixels wide: an image swapped between tunnels shows too.
  const std::string make_images = R"(
import struct, sys, zlib
def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
for i in range(80):
    rows = (b'\0' + bytes([i * 3, 255 - i, 90]) * (i + 1)) * 2
    with open(f'{sys.argv[1]}/{i}.png', 'wb') as out:
        out.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', i + 1, 2, 8, 2, 0, 0, 0))
                  + chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))
)";
  command_result made = run_command({"python3", "-I", "-c", make_images, origin.www()});
  ASSERT_EQ(made.status, 0) << made.errors;
  std::string page = "<!DOCTYPE html><html><body><p id=result>not loaded</p>\n";
  for (int i = 0; i < 80; ++i) {
    page += "<img src=\"https://img" + std::to_string(i % 10) + ".test/" + std::to_string(i) +
            ".png\">\n";
  }
  // The load event waits for every image, loaded or failed.
  page +=
      "<script>addEventListener('load', () => {\n"
      "  const right = [...document.images].filter((img, i) => img.naturalWidth == i + 1);\n"
      "  document.getElementById('result').textContent = 'loaded ' + right.length + ' of 80';\n"
      "});</script></body></html>\n";
  temp_files::write_file(origin.www() + "/page.html", page);
  ASSERT_TRUE(origin.wait_ready()) << "nginx did not start: " << origin.diagnostics();

  // As ferry runs by default: kept connections, quiet tunnels parked.
  ferry_process ferry({"LISTEN_PORT=8080", "KEEPALIVE_TIMEOUT=60"}, {.keep_trace = false});
  ASSERT_TRUE(ferry.wait_listening(8080));
  temp_files::temp_folder profile;
  // The test authority is not in Chromium's store; the errors about the
  // missing D-Bus on its standard error are harmless.
  command_result browsed = run_client(
      {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
       "--no-first-run", "--disable-background-networking", "--disable-component-update",
       "--disable-sync", "--ignore-certificate-errors", "--user-data-dir=" + profile.path(),
       "--proxy-server=http://127.0.0.1:8080", "--virtual-time-budget=30000", "--dump-dom",
       "https://origin.test/page.html"});
  EXPECT_EQ(browsed.status, 0) << browsed.errors;
  EXPECT_NE(browsed.output.find("<p id=\"result\">loaded 80 of 80</p>"), std::string::npos)
      << browsed.output.substr(0, 200) << "\nslot table full " << ferry.error_count(queue_full)
      << " times";
  EXPECT_EQ(ferry.error_count("Sanitizer"), 0) << ferry.errors();
  EXPECT_TRUE(ferry.running());
}
