// How long the runner waits for a line after sending: long enough for a whole
// block at the rate the line has shown, never past the drain timeout.
#include "tools/drain_policy.h"

#include <gtest/gtest.h>

namespace vx::tools {
namespace {

TEST(DrainPolicy, ASilentLineGetsABlockAtTheSlowestRateFromTheStartOfSending) {
  DrainPolicy drain(0.1, 600);
  drain.Sent(0.2);
  drain.Begin(1.0);
  // 2048 bytes at 1200 baud take 17 s: not yet.
  EXPECT_FALSE(drain.Done(17.0, 16442));
  EXPECT_TRUE(drain.Done(0.1 + 1.5 * 2048 / DrainPolicy::kSlowestRate + 0.2, 16442));
}

TEST(DrainPolicy, ALineAt9600BaudIsWaitedForAWholeBlock) {
  DrainPolicy drain(0.0, 600);
  // 960 bytes a second: a block every 2.13 s, the count standing still between.
  for (int block = 1; block <= 3; ++block) drain.Observe(block * 2.13, block * 2048u);
  drain.Sent(5.4);
  drain.Begin(6.4);
  EXPECT_FALSE(drain.Done(6.39 + 2.13, 4000)) << "a block due at the line's rate was not waited for";
  EXPECT_TRUE(drain.Done(6.39 + 3.5, 4000));
}

TEST(DrainPolicy, SmallBlocksSoFarDoNotShortenTheWaitForAFullOne) {
  DrainPolicy drain(0.0, 600);
  // Sent slowly at first, the line's 960 B/s came back in small blocks...
  for (int k = 1; k <= 10; ++k) drain.Observe(k * 0.2, k * 192u);
  drain.Sent(1.0);
  drain.Begin(2.0);
  // ...but what is owed now comes as a full block, 2.13 s of line time.
  EXPECT_FALSE(drain.Done(2.0 + 2.5, 4000));
  EXPECT_TRUE(drain.Done(2.0 + 3.4, 4000));
}

TEST(DrainPolicy, AFirstBurstDoesNotMakeASlowLineLookFast) {
  // A paced peer idle before the transfer answers its first bytes in a burst
  // (302 bytes in 0.13 s), then runs at 960 B/s: the next full block is 2.1 s
  // away, and the count stands still until then.
  DrainPolicy drain(0.1, 600);
  drain.Observe(0.23, 302);
  drain.Sent(0.3);
  drain.Begin(1.3);
  EXPECT_FALSE(drain.Done(2.2, 2698)) << "called lost before the next block could come";
  drain.Observe(2.33, 2350);
  EXPECT_FALSE(drain.Done(2.33 + 2.13, 650));  // the rest is due a block's time later
  EXPECT_TRUE(drain.Done(2.33 + 1.5 * 2048 / 975.0 + 0.2, 650));
}

// A line that ran fast and then slowed to 960 B/s (a block every 2.13 s):
// its rate of late is the slow one, where the rate since the start is not.
TEST(DrainPolicy, TheRecentRateFollowsALineThatSlowedDown) {
  DrainPolicy p(0.5, 60);
  EXPECT_EQ(p.RecentRate(), 0);
  std::uint64_t received = 0;
  double t = 0.6;
  for (; t < 4.6; t += 0.02) p.Observe(t, received += 2000);  // 100 kB/s for 4 s
  EXPECT_NEAR(p.RecentRate(), 100000, 1000);
  for (int block = 0; block < 3; ++block) p.Observe(t += 2.1333, received += 2048);
  EXPECT_NEAR(p.RecentRate(), 960, 10);
  EXPECT_GT(p.ObservedRate(), 30000);
}

TEST(DrainPolicy, NothingOwedEndsAfterTheShortFloor) {
  DrainPolicy drain(0.0, 600);
  drain.Observe(0.12, 16442);
  drain.Sent(0.1);
  drain.Begin(1.1);
  EXPECT_FALSE(drain.Done(0.12 + DrainPolicy::kQuietFloor - 0.01, 0));
  EXPECT_TRUE(drain.Done(0.12 + DrainPolicy::kQuietFloor, 0));
}

// Bytes of the far end's own after its last echo are waited for as long as
// it has paused before: a peer that paused 2 s may take 2 s for them too.
TEST(DrainPolicy, APeerThatPausedIsGivenAsLongAgainForWhatItSendsOfItsOwn) {
  DrainPolicy drain(0.0, 60.0);
  drain.Observe(0.1, 1000);
  drain.Observe(2.1, 2000);
  drain.Sent(0.1);
  drain.Begin(2.2);
  EXPECT_FALSE(drain.Done(2.1 + 2.9, 0));
  EXPECT_TRUE(drain.Done(2.1 + 3.05, 0));
}

// A far end that answers only once its input has gone quiet (it gathers a
// whole message first) is given the owed floor from the last byte sent, not
// only from the start of sending: a long transfer is no silence.
TEST(DrainPolicy, OwedBytesAreWaitedForTheFloorAfterTheLastByteSent) {
  DrainPolicy drain(0.1, 600);
  drain.Sent(23.0);
  drain.Begin(24.0);  // 23 s of sending, nothing back yet
  EXPECT_FALSE(drain.Done(25.9, 35000));
  EXPECT_TRUE(drain.Done(26.0, 35000));
}

// A whole block at the slowest rate before anything has come back, however
// small the file: a far end may answer a block at a time.
TEST(DrainPolicy, ASmallFileOnASilentLineIsGivenAWholeBlock) {
  DrainPolicy drain(0.1, 600);
  drain.Sent(0.1);
  drain.Begin(1.1);
  EXPECT_FALSE(drain.Done(5.0, 300)) << "a far end 5 s late was called silent";
  EXPECT_TRUE(drain.Done(0.1 + 1.5 * 2048 / DrainPolicy::kSlowestRate + 0.2, 300));
}

TEST(DrainPolicy, APeerThatPausedBeforeIsGivenAsLongAgain) {
  DrainPolicy drain(0.0, 600);
  drain.Observe(3.0, 100000);  // a 3 s pause before its first answer, then fast
  drain.Observe(3.1, 200000);
  drain.Sent(2.2);
  drain.Begin(3.2);
  EXPECT_FALSE(drain.Done(3.1 + 4.0, 1000));
  EXPECT_TRUE(drain.Done(3.1 + 4.6, 1000));
}

// A fast echo that pauses 2 s once, while the dialog still waits for it
// before closing the file: the bytes after the pause are not called lost.
TEST(DrainPolicy, AFastPeerMayPauseAFewSecondsBeforeItsBytesAreCalledLost) {
  DrainPolicy drain(0.1, 600);
  drain.Observe(0.12, 2048);
  drain.Observe(0.16, 5376);
  drain.Sent(0.15);
  drain.Begin(1.2);
  EXPECT_FALSE(drain.Done(0.16 + 2.5, 11066));
  EXPECT_TRUE(drain.Done(0.16 + DrainPolicy::kOwedFloor, 11066));
  // Behind a network port the same pause may be a server holding the bytes
  // back out of sight (XOFF at its line): it is waited out for longer.
  DrainPolicy remote(0.1, 600, DrainPolicy::kOwedFloorOutOfSight);
  remote.Observe(0.12, 2048);
  remote.Observe(0.16, 5376);
  remote.Sent(0.15);
  remote.Begin(1.2);
  EXPECT_FALSE(remote.Done(0.16 + 6.0, 11066));
  EXPECT_TRUE(remote.AnsweredLately(0.16 + 6.0, 5376));
  EXPECT_TRUE(remote.Done(0.16 + DrainPolicy::kOwedFloorOutOfSight, 11066));
}

// Answering is what the line did lately, not how long the drain would still
// wait for it: a far end silent since its first block has stopped, and so has
// one that only talks of its own since (a heartbeat, a console).
TEST(DrainPolicy, ALineIsStillAnsweringOnlyIfItsLastAnswerCameLately) {
  DrainPolicy drain(0.0, 60.0);
  EXPECT_FALSE(drain.AnsweredLately(1.0, 0)) << "a line that never answered";
  drain.Observe(0.14, 1000);
  drain.Sent(0.1);
  drain.Begin(0.2);
  EXPECT_TRUE(drain.AnsweredLately(0.14 + DrainPolicy::kOwedFloor - 0.1, 1000));
  // A dot every second after the last answer, at byte 1000.
  for (int k = 1; k <= 5; ++k) drain.Observe(0.14 + k, 1000 + k);
  EXPECT_FALSE(drain.AnsweredLately(5.5, 1000)) << "the dots are no answer";
  EXPECT_TRUE(drain.AnsweredLately(5.5, 1004)) << "bytes up to the fourth dot were in step after all";
  EXPECT_FALSE(drain.AnsweredLately(60.2, 1005)) << "silent for a minute, the drain still willing to wait";
  drain.Observe(70.0, 1500);  // it came back after a 65 s pause: as long again may pass
  EXPECT_TRUE(drain.AnsweredLately(70.0 + 90.0, 1500));
  EXPECT_FALSE(drain.AnsweredLately(70.0 + 90.0, 1005)) << "answered last before the pause";
}

// The judge may find bytes in step long after they came (it holds them after
// a fault until it finds its place): when they came is kept until it has got
// past them, however many receipts come meanwhile.
TEST(DrainPolicy, WhenABytesCameIsKeptUntilTheJudgeIsPastIt) {
  DrainPolicy drain(0.0, 600.0);
  drain.Observe(1.0, 5000);
  drain.Judged(4900);  // the last 100 held after a fault
  for (int k = 1; k <= 30; ++k) drain.Observe(1.0 + k, 5000 + 28 * k);  // a line of chatter a second
  EXPECT_DOUBLE_EQ(drain.ArrivalOf(5000), 1.0);
  EXPECT_DOUBLE_EQ(drain.ArrivalOf(5028), 2.0);
  drain.Judged(5028 * 2);  // past all of them: only the answering window's are kept
  drain.Observe(40.0, 6000);
  EXPECT_LE(drain.ArrivalOf(5000), 40.0 - DrainPolicy::kOwedFloor) << "longer ago than the window, whatever is said";
  EXPECT_FALSE(drain.AnsweredLately(40.0, 5000));
}

TEST(DrainPolicy, ALineThatKeepsTalkingWithNothingOwedIsNotWaitedOut) {
  DrainPolicy drain(0.0, 60.0);
  drain.Observe(0.5, 16442);
  drain.Sent(0.1);
  drain.Begin(1.0);
  double now = 1.0;
  for (std::uint64_t got = 16442; now < 1.0 + DrainPolicy::kOwedFloor - 0.05; now += 0.1) {
    drain.Observe(now, ++got);  // a dot now and then, never a quiet spell
    EXPECT_FALSE(drain.Done(now, 0)) << now;
  }
  EXPECT_TRUE(drain.Done(1.0 + DrainPolicy::kOwedFloor, 0));
  EXPECT_TRUE(drain.EndedTalking());
  EXPECT_FALSE(drain.Done(1.0 + DrainPolicy::kOwedFloor, 100)) << "bytes still owed";
  // A line that paused 4 s once and is quiet since the last owed byte came is
  // cut off by the same floor, but it was not talking.
  DrainPolicy paused(0.0, 60.0);
  paused.Observe(0.1, 2048);
  paused.Observe(4.1, 4096);
  paused.Sent(0.1);
  paused.Begin(1.0);
  EXPECT_FALSE(paused.Done(4.2, 0));
  EXPECT_TRUE(paused.Done(4.2 + DrainPolicy::kOwedFloor, 0));
  EXPECT_FALSE(paused.EndedTalking());
}

// A slow line still owes bytes long after the drain began; once the last of
// them is back, what the far end sends after them is still waited for.
TEST(DrainPolicy, BytesAfterTheLastOwedOneAreWaitedForHoweverLongTheDrainHasRun) {
  DrainPolicy drain(0.0, 60.0);
  drain.Sent(0.1);
  drain.Begin(1.0);
  double now = 0.1;
  std::uint64_t got = 0;
  for (; now < 10.1; now += 0.02) {
    drain.Observe(now, got += 40);  // 2000 bytes a second
    EXPECT_FALSE(drain.Done(now, 20000 - got)) << now;
  }
  drain.Observe(now, 20000);
  EXPECT_FALSE(drain.Done(now + 0.02, 0)) << "judged as the last owed byte came back";
  drain.Observe(now + 0.1, 20005);  // the far end's trailer
  EXPECT_FALSE(drain.Done(now + 0.1 + DrainPolicy::kQuietFloor - 0.01, 0));
  EXPECT_TRUE(drain.Done(now + 0.1 + DrainPolicy::kQuietFloor, 0));
}

TEST(DrainPolicy, TheTimeoutBoundsEveryWait) {
  DrainPolicy drain(0.0, 2.0);
  drain.Sent(0.5);
  drain.Begin(1.0);
  EXPECT_FALSE(drain.Done(2.9, 1 << 20));
  EXPECT_TRUE(drain.Done(3.0, 1 << 20));
  EXPECT_TRUE(drain.TimedOut(3.0));
}

}  // namespace
}  // namespace vx::tools
