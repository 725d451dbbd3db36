// The packet ring on its own, driven in image-file mode (an existing image read into packets),
// with the test as the consumer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "burner_test_support.h"
#include "layout/bvkCache.h"

namespace torvik {
namespace {

using test::ScratchDir;

class ImageFileStream : public ::testing::Test {
 protected:
  // Sets the stream up to read `bytes` of patterned data from an image file.
  std::vector<uint8_t> Open(size_t bytes, uint32_t cacheMiB) {
    auto data = test::Pattern(bytes, 7);
    test::WriteFile(dir_ / "image.iso", data);
    cd_.BurnISOImage = true;
    cd_.ISOFileName = (dir_ / "image.iso").string();
    cd_.ISOImage = ::open(cd_.ISOFileName.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(cd_.ISOImage, 0);
    cd_.ISOImageBytes = int64_t(bytes);
    cd_.TotalImageSize = uint32_t(BytesToBlocks(bytes));
    cd_.CacheSize = cacheMiB << 20;
    return data;
  }

  // Takes everything, `perTake` packets at a time, recording each run's size.
  std::vector<uint8_t> Drain(int32_t perTake, std::vector<uint32_t>* sizes = nullptr) {
    std::vector<uint8_t> out;
    TPacketRun run;
    while (TakePackets(cd_, run, perTake) > 0) {
      EXPECT_LE(run.Packets, perTake);
      out.insert(out.end(), run.Data, run.Data + run.Size);
      if (sizes) sizes->push_back(run.Size);
      ReleasePackets(cd_, run);
    }
    return out;
  }

  ScratchDir dir_;
  TCDFiles cd_;
};

TEST_F(ImageFileStream, A100000ByteImageGivesTwoPacketsOf65536And34464Bytes) {
  const auto data = Open(100000, 2);
  TCacheThread producer(cd_);
  EXPECT_EQ(cd_.RemainingBlocks, 49);
  std::vector<uint32_t> sizes;
  EXPECT_EQ(Drain(1, &sizes), data);
  EXPECT_EQ(sizes, (std::vector<uint32_t>{65536, 34464}));
  WaitForCacheThreadTerminated(cd_);
  EXPECT_EQ(cd_.RemainingBlocks, 0);
  EXPECT_EQ(cd_.CacheMemory, nullptr) << "the producer frees the ring on its own thread";
  EXPECT_EQ(cd_.ISOImage, -1) << "the producer closes the image it read";
  EXPECT_EQ(cd_.ErrorNumber, 0u);
}

TEST_F(ImageFileStream, TheRingWrapsManyTimesWithoutLosingOrReorderingBytes) {
  // 2 MiB cache = 32 packets; 7 MiB and a bit go round it several times, taken in runs that
  // do not divide the ring evenly.
  const auto data = Open(7 * 1048576 + 1234, 2);
  TCacheThread producer(cd_);
  EXPECT_EQ(cd_.MaxPackets, 32);
  EXPECT_EQ(Drain(3), data);
  WaitForCacheThreadTerminated(cd_);
}

TEST_F(ImageFileStream, AFullCacheHoldsMaxPacketsAndLetsTheConsumerStart) {
  Open(10 * 1048576, 2);
  TCacheThread producer(cd_);
  WaitForCanStart(cd_);
  EXPECT_TRUE(producer.CanStart());
  // The producer raises CanStart only when it finds no free slot, i.e. the ring is full.
  EXPECT_EQ(cd_.PacketCount, 32);
  EXPECT_EQ(cd_.BytesAvailable, 32 * 65536);
}

TEST_F(ImageFileStream, AnAbortWhileTheCacheIsFullEndsTheProducer) {
  Open(10 * 1048576, 2);
  TCacheThread producer(cd_);
  WaitForCanStart(cd_);
  SignalAbort(cd_);
  WaitForCacheThreadTerminated(cd_);
  TPacketRun run;
  EXPECT_EQ(TakePackets(cd_, run, 4), 0);
  EXPECT_TRUE(cd_.Finished);
  EXPECT_EQ(cd_.PacketCount, 0);
  EXPECT_EQ(cd_.CacheMemory, nullptr);
}

// The consumer may be in the middle of writing a run when the abort comes; the ring must stay
// until that run is handed back (under ASan a premature free shows as a use after free).
TEST_F(ImageFileStream, AnAbortWaitsForTheRunTheConsumerHolds) {
  const auto data = Open(4 * 1048576, 2);
  TCacheThread producer(cd_);
  TPacketRun run;
  ASSERT_GT(TakePackets(cd_, run, 8), 0);
  SignalAbort(cd_);
  {
    std::lock_guard lock(cd_.CriticalSection);
    EXPECT_FALSE(cd_.CacheThreadTerminated);
  }
  EXPECT_TRUE(std::equal(run.Data, run.Data + run.Size, data.begin()));
  ReleasePackets(cd_, run);
  WaitForCacheThreadTerminated(cd_);
  EXPECT_EQ(TakePackets(cd_, run, 8), 0);
}

TEST_F(ImageFileStream, AnImageThatShrankFailsNamingIt) {
  Open(300000, 2);
  cd_.ISOImageBytes = 400000;  // the file is shorter than the job believes
  TCacheThread producer(cd_);
  Drain(4);
  WaitForCacheThreadTerminated(cd_);
  EXPECT_EQ(cd_.ErrorNumber, 2u);
  EXPECT_TRUE(cd_.Aborted);
  EXPECT_NE(cd_.ErrorFileName.find(u"image.iso"), std::u16string::npos);
}

TEST(StreamFailure, TheFirstErrorWins) {
  TCDFiles cd;
  cd.ErrorNumber = 4;
  FailStream(cd, 2, u"/late.txt");
  EXPECT_EQ(cd.ErrorNumber, 4u);
  EXPECT_EQ(cd.ErrorFileName, u"");
  EXPECT_TRUE(cd.Aborted);
  EXPECT_TRUE(cd.Finished);
}

TEST(StreamFailure, TheFirstErrorKeepsItsOSReason) {
  TCDFiles cd;
  FailStream(cd, 3, u"/out.iso", ENOSPC);
  FailStream(cd, 2, u"/late.txt", EACCES);
  EXPECT_EQ(cd.ErrorNumber, 3u);
  EXPECT_EQ(cd.ErrorFileName, u"/out.iso");
  EXPECT_EQ(cd.ErrorOSCode, ENOSPC);
}

}  // namespace
}  // namespace torvik
