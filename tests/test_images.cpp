// End to end: S-record images made by other tools, loaded through a script
// by the real loader into quarn-sim, and the board's memory compared with
// the source binary byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "seam.h"

namespace {

struct image {
  const char *name;
  unsigned base;
  size_t size;
  std::string convert;  // shell command: in.bin -> img.s28, with BASE and LEN filled in
};

std::string with(std::string cmd, const char *key, const std::string &val) {
  for (size_t p; (p = cmd.find(key)) != std::string::npos;) cmd.replace(p, strlen(key), val);
  return cmd;
}

TEST(Images, ToolMadeImagesLandExactly) {
  const image images[] = {
      {"objcopy at 0x10000", 0x10000, 5000,
       "objcopy -I binary -O srec --change-addresses BASE in.bin img.s28"},
      {"objcopy unaligned, long records", 0x10001, 3001,
       "objcopy -I binary -O srec --srec-len=100 --change-addresses BASE in.bin img.s28"},
      {"objcopy high, unaligned", 0xABCDE3, 4096,
       "objcopy -I binary -O srec --change-addresses BASE in.bin img.s28"},
      {"srec_cat 37-byte records, CR LF", 0x123457, 3000,
       "srec_cat in.bin -binary -offset BASE -o img.s28 -motorola -address-length=3 -obs=37 "
       "-execution-start-address=BASE -line-termination=crlf"},
      {"srec_cat 1-byte records up to the last address", 0xFFFE00, 512,
       "srec_cat in.bin -binary -offset BASE -o img.s28 -motorola -address-length=3 -obs=1 "
       "-execution-start-address=BASE"},
  };
  std::mt19937 rng(7);
  for (const image &im : images) {
    SCOPED_TRACE(im.name);
    std::string dir = seam::tmpdir();
    std::string data(im.size, 0);
    for (char &c : data) c = (char)rng();
    seam::write_file(dir + "/in.bin", data);
    seam::write_file(dir + "/load.scr", "; load the image\n#img.s28\n");
    char base[16];
    snprintf(base, sizeof base, "0x%X", im.base);
    std::string cmd = "cd " + dir + " && " + with(im.convert, "BASE", base) + " && " +
                      QUARN_SIM_BIN + " --memory mem -- " + QUARN_BIN + " load.scr > out";
    ASSERT_EQ(system(cmd.c_str()), 0) << seam::read_file(dir + "/out");
    std::string out = seam::read_file(dir + "/out");
    EXPECT_NE(out.find("Flushing write buffer  OK\n\nLoading completed with no errors.\nExit code 0\n"),
              std::string::npos)
        << out;
    std::string mem = seam::read_file(dir + "/mem");
    ASSERT_EQ(mem.size(), 0x1000000u);
    EXPECT_TRUE(mem.compare(im.base, im.size, data) == 0);
    // Nothing outside the image was touched.
    EXPECT_EQ(mem.find_first_not_of('\xFF', 0), (size_t)im.base);
    EXPECT_EQ(mem.find_first_not_of('\xFF', im.base + im.size), std::string::npos);
    system(("rm -rf " + dir).c_str());
  }
}

}  // namespace
