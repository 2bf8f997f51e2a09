#include "platform/file_version.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

using tovra::platform::GetProductVersion;
using tovra::platform::ReadProductVersion;

constexpr std::uint64_t Version(std::uint64_t a, std::uint64_t b, std::uint64_t c,
                                std::uint64_t d) {
  return a << 48 | b << 32 | c << 16 | d;
}

TEST(FileVersionTest, ReadsTheVersionWrittenByTheBuild) {
  const std::uint64_t version = ReadProductVersion(TOVRA_VERSION_PROBE);
  EXPECT_EQ(version, Version(2, 20, 4, 7));
  EXPECT_EQ(version & 0xffff, 7u);
  EXPECT_EQ(version >> 48, 2u);
}

TEST(FileVersionTest, RunningProgramReadsItsOwnFile) {
  EXPECT_EQ(GetProductVersion(),
            Version(TOVRA_PROJECT_VERSION_MAJOR, TOVRA_PROJECT_VERSION_MINOR,
                    TOVRA_PROJECT_VERSION_PATCH, TOVRA_PROJECT_VERSION_TWEAK));

  QProcess probe;
  probe.start(QStringLiteral(TOVRA_VERSION_PROBE), {});
  ASSERT_TRUE(probe.waitForFinished(10000));
  EXPECT_EQ(probe.readAllStandardOutput().trimmed().toULongLong(), Version(2, 20, 4, 7));
}

TEST(FileVersionTest, FilesWithoutAVersionGiveZero) {
  EXPECT_EQ(ReadProductVersion(TOVRA_PLAIN_PROBE), 0u);
  EXPECT_EQ(ReadProductVersion("/nonexistent/tovra-usermanager"), 0u);

  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::filesystem::path base = dir.path().toStdString();

  std::ofstream(base / "text") << "not a program file\n";
  EXPECT_EQ(ReadProductVersion(base / "text"), 0u);
  std::ofstream(base / "empty").close();
  EXPECT_EQ(ReadProductVersion(base / "empty"), 0u);

  // A program file cut short: the section table lies beyond its end.
  std::ifstream whole(TOVRA_VERSION_PROBE, std::ios::binary);
  std::vector<char> head(4096);
  whole.read(head.data(), static_cast<std::streamsize>(head.size()));
  std::ofstream(base / "truncated", std::ios::binary).write(head.data(), whole.gcount());
  EXPECT_EQ(ReadProductVersion(base / "truncated"), 0u);
}

}  // namespace
