// The compression library and the server's binding to it: every call must
// give one complete gzip stream that zlib, gunzip and Python read back to
// the very bytes that went in.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gzip/Compression.h"
#include "server/response/Compression.h"
#include "server/core/Runtime.h"
#include "tests/support/Gunzip.h"

namespace zevra {
namespace {

using support::Gunzip;

std::string TextInput(size_t size, unsigned seed) {
  static const char* kWords[] = {"zevra ", "server ", "<div class=\"post\"> ", "服务器 ", "\r\n", "gzip ", "0123 "};
  std::mt19937 rng(seed);
  std::string text;
  while (text.size() < size) text += kWords[rng() % 7];
  text.resize(size);
  return text;
}

std::string RandomInput(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

struct LevelScope {
  explicit LevelScope(int level) : saved(g_settings.GZIPCompressLevel) { g_settings.GZIPCompressLevel = level; }
  ~LevelScope() { g_settings.GZIPCompressLevel = saved; }
  int saved;
};

void ExpectRoundTrip(const std::string& input) {
  std::string gz;
  ASSERT_TRUE(CompressBytes(input, gz)) << input.size();
  ASSERT_GE(gz.size(), 18u);  // header and trailer at the least
  // RFC 1952: magic, deflate, and a trailer of CRC-32 and length mod 2^32.
  EXPECT_EQ(static_cast<unsigned char>(gz[0]), 0x1f);
  EXPECT_EQ(static_cast<unsigned char>(gz[1]), 0x8b);
  EXPECT_EQ(gz[2], 8);
  auto le32 = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(gz[at + i]);
    return v;
  };
  const uint32_t crc = static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(input.data()), static_cast<uInt>(input.size())));
  EXPECT_EQ(le32(gz.size() - 8), crc);
  EXPECT_EQ(le32(gz.size() - 4), static_cast<uint32_t>(input.size()));
  std::string back;
  ASSERT_TRUE(Gunzip(gz, back)) << input.size();
  EXPECT_TRUE(back == input) << input.size();
  EXPECT_EQ(CompressBytes(input), gz);  // the plain form returns the same stream
}

TEST(CompressBytes, CompleteStreamsOfAnySize) {
  ExpectRoundTrip("");
  ExpectRoundTrip("a");
  ExpectRoundTrip("<html>服务器错误</html>");
  ExpectRoundTrip(TextInput(8192, 1));
  ExpectRoundTrip(TextInput(8193, 2));               // two input pieces
  ExpectRoundTrip(RandomInput(20000, 3));            // several output pieces
  ExpectRoundTrip(TextInput(65536 + 17, 4));         // beyond 64 KiB
  ExpectRoundTrip(RandomInput(300000, 5));
  ExpectRoundTrip(std::string(1 << 20, '\0'));       // highly compressible
}

TEST(CompressBytes, EveryLevelAndOutOfRangeLevels) {
  const std::string input = TextInput(30000, 6);
  for (int level : {-7, 0, 1, 3, 6, 9, 10, 1000}) {
    LevelScope scope(level);
    std::string gz;
    ASSERT_TRUE(CompressBytes(input, gz)) << level;
    std::string back;
    ASSERT_TRUE(Gunzip(gz, back)) << level;
    EXPECT_TRUE(back == input) << level;
  }
  // Level 0 stores; a clamped -7 is that same stream.
  std::string stored, negative;
  { LevelScope scope(0); stored = CompressBytes(input); }
  { LevelScope scope(-7); negative = CompressBytes(input); }
  EXPECT_GT(stored.size(), input.size());
  EXPECT_EQ(stored, negative);
}

TEST(CompressBytes, ConcurrentCallsWithSeparateContexts) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 12;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kRounds; ++i) {
        const std::string input = (i % 2 == 0) ? TextInput(1000 + 9000 * i, t * 100 + i)
                                               : RandomInput(500 + 7000 * i, t * 100 + i);
        std::string gz, back;
        if (!CompressBytes(input, gz) || !Gunzip(gz, back) || back != input) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

// Outside readers: the system's gunzip and Python's gzip module.
class ExternalReaders : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::path(::testing::TempDir()) /
           ("zevra_gzip_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  static void Write(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  static std::string Read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static std::string Quoted(const std::filesystem::path& path) {
    std::string quoted = "'";
    quoted += path.string();
    quoted += '\'';
    return quoted;
  }
  std::filesystem::path dir_;
};

TEST_F(ExternalReaders, GunzipAndPythonReadTheStreams) {
  const std::vector<std::string> inputs = {"", "small page", TextInput(8193, 7), RandomInput(70000, 8)};
  for (size_t i = 0; i < inputs.size(); ++i) {
    const auto gz = dir_ / ("in" + std::to_string(i) + ".gz");
    const auto viaGunzip = dir_ / ("gunzip" + std::to_string(i));
    const auto viaPython = dir_ / ("python" + std::to_string(i));
    Write(gz, CompressBytes(inputs[i]));
    ASSERT_EQ(std::system(("gunzip -c " + Quoted(gz) + " > " + Quoted(viaGunzip)).c_str()), 0) << i;
    EXPECT_TRUE(Read(viaGunzip) == inputs[i]) << i;
    const std::string python =
        "/usr/bin/python3 -c 'import gzip,sys; sys.stdout.buffer.write(gzip.decompress("
        "open(sys.argv[1], \"rb\").read()))' " + Quoted(gz) + " > " + Quoted(viaPython);
    ASSERT_EQ(std::system(python.c_str()), 0) << i;
    EXPECT_TRUE(Read(viaPython) == inputs[i]) << i;
  }
}

// The library's own contract, as the binding relies on it.
TEST(CompressionLibrary, FinishesOnceAndRefusesNonsense) {
  ASSERT_EQ(InitCompression(), 0);
  void* context = nullptr;
  ASSERT_EQ(CreateCompression(&context, 3), 0);
  ASSERT_NE(context, nullptr);
  uint8_t out[8192];
  int consumed = -1, produced = -1;
  EXPECT_EQ(Compress(context, nullptr, 0, nullptr, 8192, &consumed, &produced, 3), -1);
  // Empty input: the stream is finished in one call.
  EXPECT_NE(Compress(context, nullptr, 0, out, 8192, &consumed, &produced, 3), 0);
  EXPECT_EQ(consumed, 0);
  EXPECT_GT(produced, 0);
  std::string back;
  EXPECT_TRUE(Gunzip(std::string(reinterpret_cast<char*>(out), produced), back));
  EXPECT_EQ(back, "");
  // Called again after the end: still finished, nothing more produced.
  EXPECT_NE(Compress(context, nullptr, 0, out, 8192, &consumed, &produced, 3), 0);
  EXPECT_EQ(produced, 0);
  EXPECT_EQ(DestroyCompression(context), 0);
  EXPECT_NE(CreateCompression(nullptr, 3), 0);
  EXPECT_NE(DestroyCompression(nullptr), 0);
  EXPECT_EQ(DeInitCompression(), 0);
}

TEST(CompressionLibrary, SmallOutputBuffersStillGiveTheWholeStream) {
  // A caller with a tiny output buffer must be able to drain the stream.
  const std::string input = RandomInput(5000, 9);
  void* context = nullptr;
  ASSERT_EQ(CreateCompression(&context, 3), 0);
  std::string gz;
  size_t position = 0;
  int result = 0;
  for (int rounds = 0; result == 0 && rounds < 100000; ++rounds) {
    uint8_t out[7];
    int consumed = 0, produced = 0;
    const int piece = static_cast<int>(std::min<size_t>(input.size() - position, 100));
    result = Compress(context, reinterpret_cast<const uint8_t*>(input.data()) + position, piece, out, sizeof out,
                      &consumed, &produced, 6);
    gz.append(reinterpret_cast<char*>(out), produced);
    position += consumed;
  }
  DestroyCompression(context);
  EXPECT_EQ(result, 1);
  std::string back;
  ASSERT_TRUE(Gunzip(gz, back));
  EXPECT_TRUE(back == input);
}

}  // namespace
}  // namespace zevra
