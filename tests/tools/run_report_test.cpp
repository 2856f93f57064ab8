// The verdict of a run from its facts.
#include "tools/run_report.h"

#include "platform/win32.h"
#include "tools/expected_stream.h"
#include "tools/stream_comparator.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace vx::tools {
namespace {

RunFacts IntactRun(std::uint64_t accepted, std::uint64_t written) {
  RunFacts f;
  f.accepted = accepted;
  f.written = written;
  f.received = written;
  f.counts.expected = f.counts.received = f.counts.matched = written;
  return f;
}

TEST(RunVerdict, EverythingSentAndBackIsOk) {
  EXPECT_EQ(JudgeRun(IntactRun(5000, 5000)), Verdict::Ok);
  EXPECT_EQ(ExitStatus(IntactRun(5000, 5000)), 0);
}

// What `write` puts out for `f`: the summary, or the JSON report.
std::string Written(void (*write)(FILE*, const RunFacts&), const RunFacts& f) {
  char* text = nullptr;
  std::size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  write(out, f);
  std::fclose(out);
  std::string written(text, size);
  std::free(text);
  return written;
}
std::string Summary(const RunFacts& f) { return Written(WriteSummary, f); }
std::string Json(const RunFacts& f) { return Written(WriteJson, f); }

TEST(RunVerdict, BytesAcceptedButNeverSentFailTheRunThoughAllSentCameBack) {
  RunFacts f = IntactRun(5000, 3000);
  EXPECT_EQ(JudgeRun(f), Verdict::Failed);
  EXPECT_EQ(ExitStatus(f), 1);
  std::string summary = Summary(f);
  EXPECT_NE(summary.find("unsent    2000 bytes"), std::string::npos) << summary;
  EXPECT_NE(summary.find("hint: the line stopped taking bytes"), std::string::npos) << summary;
}

TEST(RunVerdict, ALineThatStoppedTakingBytesIsNotOkThoughAllItTookCameBack) {
  RunFacts f = IntactRun(10240, 10240);
  f.sendingStalled = true;
  EXPECT_EQ(JudgeRun(f), Verdict::Failed);
  // A far end that never reads also never answers: the stall is the cause.
  f.counts = CompareCounts{};
  f.counts.expected = f.counts.lost = 4096;
  f.received = 0;
  EXPECT_NE(Summary(f).find("hint: the line stopped taking bytes"), std::string::npos) << Summary(f);
}

TEST(RunVerdict, AStressRunOffersThePassesTheDialogBegan) {
  RunFacts f = IntactRun(82000, 67482);  // a slow line never took the last 14518 bytes
  f.options.stress = true;
  f.fileSize = 100;
  EXPECT_EQ(Offered(f), 82000u);
}

// A stress run cut short says how long it sent of the time asked; and a
// line that stopped taking bytes stopped it before that time was up, not
// before "the file was sent", which went out again and again.
TEST(RunVerdict, AStressRunSaysHowLongItSent) {
  RunFacts f = IntactRun(60000, 60000);
  f.fileSize = 20000;
  f.options.stress = true;
  f.options.duration = 30;
  f.sendingSeconds = 29.9;
  EXPECT_NE(Summary(f).find("  file      , 20000 bytes, sent again and again for 30.0 s\n"), std::string::npos)
      << Summary(f);
  f.sendingSeconds = 3.98;
  EXPECT_NE(Summary(f).find("  file      , 20000 bytes, sent again and again for 4.0 s of the 30.0 s asked\n"),
            std::string::npos)
      << Summary(f);
  // A line slower than the pacing took what the link held long after.
  f.lastLineWriteSeconds = 33.1;
  EXPECT_NE(Summary(f).find("  written   60000 bytes in 3.98 s, 15075 B/s (the line took the last of them 33.10 s "
                            "after Start)\n"),
            std::string::npos)
      << Summary(f);
  f.lastLineWriteSeconds = 4.0;
  EXPECT_NE(Summary(f).find("  written   60000 bytes in 3.98 s, 15075 B/s\n"), std::string::npos) << Summary(f);
  // Everything back, but the file's reads failed after 4 s: not the run asked for.
  EXPECT_EQ(JudgeRun(f), Verdict::Ok);
  f.fileReadFailed = true;
  EXPECT_EQ(JudgeRun(f), Verdict::Failed);
  EXPECT_NE(Summary(f).find("hint: the file could not be read to its end"), std::string::npos) << Summary(f);
  f.fileReadFailed = false;
  f.sendingStalled = true;
  f.accepted = 61000;
  f.counts.unreturned = 1000;
  EXPECT_NE(Summary(f).find("hint: the line stopped taking bytes before the time asked was up"), std::string::npos)
      << Summary(f);
}

// A hang-up is told by whether the file was out and back when it came.
TEST(RunVerdict, AHangUpSaysWhetherBytesWereStillOwed) {
  RunFacts f = IntactRun(5000, 5000);
  f.fileSize = 5000;
  f.linkError = true;
  EXPECT_NE(Summary(f).find("hint: the line went away after every byte sent had come back"), std::string::npos)
      << Summary(f);
  f.counts.matched = 4000;
  f.counts.lost = 1000;
  EXPECT_NE(Summary(f).find("hint: the line went away during the transfer"), std::string::npos) << Summary(f);
  // Seconds into the drain, long after the far end last answered: the hang-up
  // is not what lost those bytes, and the hint does not say it came with them.
  // Timed from the last write, not from the drain, which begins only after
  // the dialog's wait at the end of the file.
  f.sendingSeconds = 0.18;
  f.linkErrorSeconds = 3.15;
  f.drainSeconds = 1.9;
  f.lastAnswerSeconds = 0.2;
  EXPECT_NE(Summary(f).find("hint: the line went away 3.0 s after sending ended, the last byte sent having come back "
                            "0.2 s after Start: the far end hung up"),
            std::string::npos)
      << Summary(f);
  f.drainSeconds = 0;  // in the dialog's wait at the end of the file: sending was over all the same
  f.linkErrorSeconds = 1.16;
  EXPECT_NE(Summary(f).find("hint: the line went away 1.0 s after sending ended"), std::string::npos) << Summary(f);
  f.linkErrorSeconds = 0.3;  // with the last packets
  EXPECT_NE(Summary(f).find("hint: the line went away during the transfer"), std::string::npos) << Summary(f);
  f = IntactRun(5000, 3000);  // the rest never went out
  f.fileSize = 5000;
  f.linkError = true;
  EXPECT_NE(Summary(f).find("hint: the line went away during the transfer"), std::string::npos) << Summary(f);
  f = IntactRun(5000, 5000);  // all sent so far came back, but the file was not through
  f.fileSize = 16442;
  f.linkError = true;
  EXPECT_NE(Summary(f).find("hint: the line went away during the transfer"), std::string::npos) << Summary(f);
  f = IntactRun(0, 0);  // an empty file: nothing came back because nothing went out
  f.linkError = true;
  EXPECT_NE(Summary(f).find("hint: the line went away during the transfer"), std::string::npos) << Summary(f);
  // Behind a network port the server closed the connection: for its line,
  // for another client (ser2net's kickolduser), or because it stopped.
  for (const char* port : {"tcp://127.0.0.1:3001", "rfc2217://127.0.0.1:3002"}) {
    f = IntactRun(5000, 5000);
    f.options.port = port;
    f.fileSize = 16442;
    f.linkError = true;
    EXPECT_NE(Summary(f).find("hint: the serial server closed the connection during the transfer: the far end hung "
                              "up, another client took the port over (ser2net's kickolduser), or the server stopped"),
              std::string::npos)
        << Summary(f);
    f.fileSize = 5000;
    EXPECT_NE(Summary(f).find("hint: the serial server closed the connection after every byte sent had come back: "
                              "the far end hung up, another client"),
              std::string::npos)
        << Summary(f);
  }
  f = IntactRun(0, 0);
  f.linkError = true;
  f.options.port = "tcp://127.0.0.1:3001";  // a server that closed the connection at once
  EXPECT_NE(Summary(f).find("hint: the serial server closed the connection before anything was sent"),
            std::string::npos)
      << Summary(f);
  f.firstBytesBack = "Port already in use\r\n";  // ser2net's word for a device another client holds
  f.received = f.counts.received = f.counts.extra = 21;
  EXPECT_NE(Summary(f).find("before anything was sent, saying \"Port already in use\""), std::string::npos)
      << Summary(f);
}

// Nothing back from a network port: the server may not have taken the
// connection up at all, which TCP cannot tell from a silent far end.
TEST(RunVerdict, NothingBackFromANetworkPortMayBeAConnectionNeverTakenUp) {
  RunFacts f = IntactRun(3000, 3000);
  f.received = f.counts.received = f.counts.matched = 0;
  f.counts.lost = 3000;
  f.counts.gaps = 1;
  f.options.port = "/dev/ttyUSB0";
  const std::string silent = "hint: nothing came back: is the far end looped back or echoing, with the same line "
                             "settings?";
  EXPECT_NE(Summary(f).find(silent + "\n"), std::string::npos) << Summary(f);
  for (const char* port : {"tcp://127.0.0.1:3001", "rfc2217://127.0.0.1:3002"}) {
    f.options.port = port;
    EXPECT_NE(Summary(f).find(silent + " Or the serial server, serving another client, never took this connection up "
                                       "(TCP connects before the server accepts)"),
              std::string::npos)
        << Summary(f);
  }
}

// A far end that prints its console and echoes nothing is told so, not
// that it stopped answering when its last line came.
TEST(RunVerdict, AFarEndThatOnlyTalksOfItsOwnIsNotSaidToHaveStoppedAnswering) {
  RunFacts f = IntactRun(20000, 20000);
  f.counts.matched = 0;
  f.counts.lost = f.counts.expected = 20000;
  f.counts.gaps = 1;
  f.counts.lostAtEnd = 20000;
  f.received = f.counts.received = f.counts.extra = 25480;
  f.lastReceiptSeconds = 9.2;
  EXPECT_NE(Summary(f).find("hint: none of the bytes sent came back, only 25480 bytes of the far end's own"),
            std::string::npos)
      << Summary(f);
}

// A far end that withheld the last bytes and sent a line of its own two
// seconds later stopped answering at its last echo, not at that line; and a
// drain that ended on the cap while it kept talking does not say the line
// fell quiet.
TEST(RunVerdict, BytesOfTheFarEndsOwnAreNoAnswer) {
  RunFacts f = IntactRun(20000, 20000);
  f.counts.matched = 17000;
  f.counts.lost = f.counts.lostAtEnd = 3000;
  f.counts.gaps = 1;
  f.counts.extra = 5;
  f.received = f.counts.received = 17005;
  f.sendingSeconds = 0.2;
  f.firstAnswerSeconds = 0.01;
  f.lastAnswerSeconds = 0.2;
  f.lastReceiptSeconds = 2.2;
  f.drainEnd = DrainEnd::Quiet;
  EXPECT_NE(Summary(f).find("the far end stopped answering 0.2 s after Start"), std::string::npos) << Summary(f);
  EXPECT_NE(Summary(f).find("ended when the line had been quiet long enough"), std::string::npos) << Summary(f);
  f.drainEndedTalking = true;
  EXPECT_NE(Summary(f).find("the far end still sending bytes of its own (the line never fell quiet)"),
            std::string::npos)
      << Summary(f);
}

// Two blocks swapped on a short run: their echo ends after sending does, so
// the line looks slower than the pacing, but the pacing is not the cause.
TEST(RunVerdict, BlocksOutOfPlaceAreNotBlamedOnThePacing) {
  RunFacts f = IntactRun(16442, 16442);
  f.options.packetSize = 256;
  f.sendingSeconds = 0.065;
  f.lastReceiptSeconds = 0.120;
  f.counts.matched = 16442 - 2048;
  f.counts.lost = f.counts.extra = 2048;
  f.counts.gaps = 1;
  EXPECT_NE(Summary(f).find("hint: bytes came back out of place"), std::string::npos) << Summary(f);
  f.counts.lost = f.counts.gaps = 16;  // single bytes dropped, beside a 15-byte banner
  f.counts.extra = 15;
  EXPECT_EQ(Summary(f).find("out of place"), std::string::npos) << Summary(f);
  f.counts.lost = 2048;
  f.counts.gaps = 1;
  f.counts.extra = 0;  // only lost, on a line slower than the pacing
  f.counts.received -= 2048;
  f.received -= 2048;
  EXPECT_NE(Summary(f).find("lower --packet-size"), std::string::npos) << Summary(f);
}

// A far end that drops a few bytes and chatters through the drain: the echo
// kept up with the pacing, and the chatter coming seconds later says nothing
// of the line's rate.
TEST(RunVerdict, ChatterAfterTheEchoDoesNotMakeTheLineLookSlow) {
  RunFacts f = IntactRun(20000, 20000);
  f.options.packetSize = 256;
  f.sendingSeconds = 0.08;
  f.counts.matched = 19996;
  f.counts.lost = f.counts.gaps = 4;
  f.counts.extra = 40;
  f.received = f.counts.received = 19996 + 40;
  f.lastReceiptSeconds = 4.1;
  f.firstAnswerSeconds = 0.01;
  f.firstAnswerBytes = 2048;
  f.lastAnswerSeconds = 0.09;
  EXPECT_EQ(Summary(f).find("lower --packet-size"), std::string::npos) << Summary(f);
  f.lastAnswerSeconds = 0.9;  // the echo itself came back ten times slower than it went
  EXPECT_NE(Summary(f).find("the line carries about 20166 B/s"), std::string::npos) << Summary(f);
}

// A far end that holds everything for three seconds, then answers at the
// pace it was sent, is late, not slow: its rate counts from its first answer.
TEST(RunVerdict, AFarEndThatAnswersLateIsNotCalledSlow) {
  RunFacts f = IntactRun(20000, 20000);
  f.options.packetSize = 256;
  f.sendingSeconds = 0.08;
  f.counts.matched = 19998;
  f.counts.lost = f.counts.gaps = 2;
  f.received = f.counts.received = 19998;
  f.firstAnswerSeconds = 3.01;
  f.firstAnswerBytes = 2048;
  f.lastReceiptSeconds = f.lastAnswerSeconds = 3.09;
  EXPECT_EQ(Summary(f).find("lower --packet-size"), std::string::npos) << Summary(f);
  EXPECT_NE(Summary(f).find("bytes went missing on the way"), std::string::npos) << Summary(f);
  // Everything at once, at the end of a long wait: no rate to judge by.
  f.firstAnswerBytes = f.counts.matched;
  f.firstAnswerSeconds = f.lastAnswerSeconds;
  EXPECT_EQ(Summary(f).find("lower --packet-size"), std::string::npos) << Summary(f);
}

// On an XON/XOFF line, a file's own 0x11 and 0x13 come back as flow control:
// they, not the far end, stalled the line and lost the bytes.
TEST(RunVerdict, FlowControlBytesInTheFileAreNamedBeforeTheStallTheyCause) {
  RunFacts f = IntactRun(16384, 3072);
  f.fileSize = 16384;
  f.sendingStalled = true;
  f.counts.matched -= 24;
  f.counts.lost = f.counts.gaps = 24;
  EXPECT_NE(Summary(f).find("hint: the line stopped taking bytes"), std::string::npos) << Summary(f);
  f.flowControlBytes = 121;
  EXPECT_NE(Summary(f).find("hint: the port uses XON/XOFF flow control and the file holds 121 bytes"),
            std::string::npos)
      << Summary(f);
  // No stall, and far more lost than they are: another fault, named first.
  f.sendingStalled = false;
  f.accepted = f.fileSize = f.written;
  f.lastReceiptSeconds = f.lastAnswerSeconds = 0.5;
  f.counts.lost = f.counts.lostAtEnd = 3002;
  f.counts.gaps = 2;
  f.counts.matched = 3072 - 3002;
  f.flowControlBytes = 2;
  EXPECT_NE(Summary(f).find("hint: the last 3002 bytes sent never came back"), std::string::npos) << Summary(f);
  EXPECT_NE(Summary(f).find("; besides, on this XON/XOFF line the file's 2 bytes 0x11 (XON) or 0x13 (XOFF) are flow "
                            "control, not data"),
            std::string::npos)
      << Summary(f);
  f.counts.lost = 2;  // as many as they are: they explain it
  f.counts.lostAtEnd = 0;
  f.counts.matched = 3070;
  EXPECT_NE(Summary(f).find("hint: the port uses XON/XOFF flow control and the file holds 2 bytes"), std::string::npos)
      << Summary(f);
  EXPECT_EQ(JudgeRun(IntactRun(5000, 5000)), Verdict::Ok);  // they are harmless when they came through
  f.received = f.counts.received = f.counts.matched = 0;  // nothing came back: nothing came back as flow control
  f.counts.lost = 3072;
  f.flowControlBytes = 121;
  EXPECT_EQ(Summary(f).find("XON/XOFF"), std::string::npos) << Summary(f);
}

// A Telnet server behind a raw name greets with its negotiation and eats
// every 0xFF sent; only its greeting tells it apart from a noisy line.
TEST(RunVerdict, ATelnetServerNamedAsARawPortIsToldSo) {
  RunFacts f = IntactRun(16384, 16384);
  f.options.port = "tcp://127.0.0.1:40302";
  f.counts.matched -= 137;
  f.counts.lost = 137;
  f.counts.gaps = 68;
  f.counts.extra = 24;
  f.firstBytesBack = "\xff\xfb\x03";
  EXPECT_NE(Summary(f).find("hint: the server answered in Telnet (its first bytes were an option negotiation, ff fb"),
            std::string::npos)
      << Summary(f);
  EXPECT_NE(Summary(f).find("name it rfc2217://127.0.0.1:40302,"), std::string::npos) << Summary(f);
  f.firstBytesBack = "\xff\x01\x02";  // a file that starts with 0xFF, echoed
  EXPECT_EQ(Summary(f).find("Telnet"), std::string::npos) << Summary(f);
  f.firstBytesBack = f.firstBytesSent = "\xff\xfe";  // a UTF-16 text, echoed
  EXPECT_EQ(Summary(f).find("Telnet"), std::string::npos) << Summary(f);
  f.firstBytesSent.clear();
  f.firstBytesBack = "\xff\xfd\x03";
  f.options.port = "rfc2217://127.0.0.1:40302";  // spoken to as Telnet already
  EXPECT_EQ(Summary(f).find("Telnet"), std::string::npos) << Summary(f);
}

// Errors the port saw on the line fail a run whose bytes all came back right.
TEST(RunVerdict, LineErrorsThePortReportedFailTheRun) {
  RunFacts f = IntactRun(16442, 16442);
  f.lineErrors = 2;
  f.lineErrorKinds = CE_FRAME | CE_RXPARITY;
  EXPECT_EQ(JudgeRun(f), Verdict::Failed);
  const std::string summary = Summary(f);
  EXPECT_NE(summary.find("  line      2 errors reported by the port (framing, parity)"), std::string::npos) << summary;
  EXPECT_NE(summary.find("hint: the port reported 2 line errors (framing, parity)"), std::string::npos) << summary;
}

// Extra bytes that repeat the stream are not "never sent"; the JSON tells them apart.
TEST(RunVerdict, PiecesSentTwiceAreToldFromBytesOfTheFarEndsOwn) {
  RunFacts f = IntactRun(16442, 16442);
  f.counts.extra = f.counts.repeated = 2048;
  f.counts.received += 2048;
  f.received += 2048;
  EXPECT_EQ(JudgeRun(f), Verdict::Failed);
  EXPECT_NE(Summary(f).find("hint: the far end sent pieces of the stream twice (2048 bytes repeating"),
            std::string::npos)
      << Summary(f);
  f.counts.repeated = 0;  // a banner
  EXPECT_NE(Summary(f).find("hint: the far end sent bytes it was never sent"), std::string::npos) << Summary(f);
}

// A run cut short by --drain-timeout while the line still answered: not
// OK, since not every byte was seen back, but nothing called lost either.
TEST(RunVerdict, BytesStillOnTheirWayFailTheRunWithoutBeingCalledLost) {
  RunFacts f = IntactRun(4800, 4800);
  f.counts.expected = f.counts.received = f.counts.matched = f.received = 1626;
  f.counts.unreturned = 3174;
  f.drainEnd = DrainEnd::TimedOut;
  f.lastReceiptSeconds = 27.1;
  EXPECT_EQ(JudgeRun(f), Verdict::Failed);
  const std::string summary = Summary(f);
  EXPECT_NE(summary.find(": 0 lost"), std::string::npos) << summary;
  EXPECT_NE(summary.find("not back  3174 bytes still on their way"), std::string::npos) << summary;
  EXPECT_EQ(summary.find("errors "), std::string::npos) << "nothing was found wrong: " << summary;
  f.counts.matched -= 3;
  f.counts.corrupted = 3;  // a fault found comes before the wait that was too short
  EXPECT_NE(Summary(f).find("hint: bytes came back changed"), std::string::npos) << Summary(f);
  EXPECT_NE(summary.find("hint: the line was still answering when --drain-timeout ended: at the 60 B/s it ran at "
                         "on average, the 3174 bytes on their way needed about 53 s more"),
            std::string::npos)
      << summary;
  // A line that slowed down is judged by its rate of late, and the bytes it
  // had not taken yet are owed too.
  f.counts.matched += 3;
  f.counts.corrupted = 0;
  f.accepted += 16384;
  f.stillAnswering = true;
  f.recentReceiveRate = 960;
  EXPECT_NE(Summary(f).find("at the 960 B/s it ran at last, the 3174 bytes on their way and the 16384 bytes it had "
                            "not taken needed about 21 s more"),
            std::string::npos)
      << Summary(f);
  f.recentReceiveRate = 1e6;  // never "0 s more" beside "raise --drain-timeout"
  EXPECT_NE(Summary(f).find("needed about 1 s more"), std::string::npos) << Summary(f);
}

// Lost bytes all owed when the answers stopped: the far end stopped, or
// dropped the end, whatever the rates say. Which, the counts cannot tell.
TEST(RunVerdict, ATailLostWhenTheAnswersStoppedIsToldAsAStopOrADroppedEnd) {
  RunFacts f = IntactRun(16442, 16442);
  f.sendingSeconds = 0.07;
  f.totalSeconds = 5.2;
  f.drainSeconds = 4.0;
  f.lastReceiptSeconds = f.lastAnswerSeconds = 0.9;
  f.counts.matched = f.counts.received = f.received = 3000;
  f.counts.lost = f.counts.lostAtEnd = 13442;
  f.drainEnd = DrainEnd::Quiet;
  EXPECT_NE(Summary(f).find("hint: the last 13442 bytes sent never came back: the far end stopped answering 0.9 s "
                            "after Start; it stalled, hung or stopped reading, or dropped the end of the stream"),
            std::string::npos)
      << Summary(f);
  f.counts.matched = f.counts.received = f.received = 16441;
  f.counts.lost = f.counts.lostAtEnd = 1;
  EXPECT_NE(Summary(f).find("hint: the last byte sent never came back"), std::string::npos) << Summary(f);
}

// A loss that shows at the end only because the data repeats is not told as
// a far end that stopped: where it was, the bytes cannot tell.
TEST(RunVerdict, ALossAtTheEndOfDataThatRepeatsIsNotPinnedOnTheEnd) {
  RunFacts f = IntactRun(65536, 65536);
  f.counts.matched = f.counts.received = f.received = 65535;
  f.counts.expected = 65536;
  f.counts.lost = f.counts.lostAtEnd = f.counts.gaps = 1;
  f.counts.lostAtEndSpan = 65535;
  f.lastReceiptSeconds = f.lastAnswerSeconds = 0.38;
  f.differences = {Difference{65535, 65535, 1, 0, 0, 0, 1, 0, "55", ""}};
  const std::string text = Summary(f);
  EXPECT_EQ(text.find("stopped answering 0.4 s"), std::string::npos) << text;
  EXPECT_NE(text.find("the last byte sent never came back, but the data repeats itself before it (from sent byte 0 "
                      "on), so the bytes cannot tell where they went missing"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("1 lost (or anywhere from sent byte 0 on: the data repeats)"), std::string::npos) << text;
  EXPECT_NE(Json(f).find("\"lost_at_end\": 1, \"lost_at_end_from\": 0,"), std::string::npos) << Json(f);
  f.counts.lostAtEndSpanGoesFurther = true;  // where the judge stopped looking
  EXPECT_NE(Summary(f).find("(or anywhere from sent byte 0 on, or further back: the data repeats)"),
            std::string::npos)
      << Summary(f);
  // A few bytes that happen to repeat are not worth a word.
  f.counts.lostAtEndSpanGoesFurther = false;
  f.counts.lostAtEndSpan = 3;
  EXPECT_NE(Summary(f).find("stopped answering"), std::string::npos) << Summary(f);
}

// A far end that answered until the last write has not stopped answering
// early, however long the dialog then waited at the end of the file for the
// byte that never came.
TEST(RunVerdict, TheDialogsWaitAtTheEndOfTheFileIsNotTakenForAStop) {
  RunFacts f = IntactRun(65536, 65536);
  f.sendingSeconds = 0.36;
  f.lastReceiptSeconds = 0.36;
  f.drainSeconds = 0.45;
  f.totalSeconds = 1.86;  // the dialog's end-of-file wait, 1.05 s, between the two
  f.counts.matched = f.counts.received = f.received = 65535;
  f.counts.lost = 1;
  f.counts.gaps = 1;
  f.counts.lostAtEnd = 0;
  EXPECT_EQ(Summary(f).find("stopped answering"), std::string::npos) << Summary(f);
}

// Cut by --drain-timeout while the far end held the line back (it paused
// its reading): what it had not answered is not back, and the hint says why.
TEST(RunVerdict, ALineHeldBackWhenTheWaitEndedIsToldAsHeld) {
  RunFacts f = IntactRun(220672, 220672);
  f.options.stress = true;
  f.written = 204288;
  f.counts.expected = f.counts.received = f.counts.matched = f.received = 200000;
  f.counts.unreturned = 4288;
  f.drainEnd = DrainEnd::TimedOut;
  f.lastReceiptSeconds = 1.2;
  EXPECT_EQ(JudgeRun(f), Verdict::Failed);
  EXPECT_NE(Summary(f).find("hint: the far end was holding the line back when --drain-timeout ended (it had paused "
                            "its reading, or flow control held the sender): 4288 bytes sent were not back yet and "
                            "16384 bytes never went out"),
            std::string::npos)
      << Summary(f);
  // A slow line that was still answering holds the sender back too: its
  // queue is full, and that is no pause.
  f.stillAnswering = true;
  f.totalSeconds = f.lastReceiptSeconds = 7.0;
  f.drainSeconds = 2.0;
  EXPECT_NE(Summary(f).find("hint: the line was still answering when --drain-timeout ended"), std::string::npos)
      << Summary(f);
}

// A far end at another line speed answers with bytes of its own making:
// that, not a stall, explains the losses beside them.
TEST(RunVerdict, BytesAsGoodAsRandomAreToldAsAMismatchOfSpeedOrFraming) {
  RunFacts f = IntactRun(65536, 65536);
  f.fileSize = 65536;
  f.sendingSeconds = 0.36;
  f.lastReceiptSeconds = 0.38;
  f.counts.matched = 57;
  f.counts.corrupted = 16328;
  f.counts.bitErrors = 65596;
  f.counts.lost = f.counts.lostAtEnd = 49151;
  f.counts.gaps = 1;
  f.counts.extra = 16383;
  f.counts.received = f.received = 32768;
  EXPECT_NE(Summary(f).find("hint: the bytes that came back are unlike those sent (16328 bytes changed, 4.0 bits in "
                            "each"),
            std::string::npos)
      << Summary(f);
  f.counts.bitErrors = f.counts.corrupted;  // one bit each: a line that damages bytes, not another stream
  EXPECT_EQ(Summary(f).find("unlike those sent"), std::string::npos) << Summary(f);
  // One block of 100 garbled in a run that otherwise came back intact: no
  // mismatch of speed, which would garble everything.
  f = IntactRun(20000, 20000);
  f.counts.matched = 19900;
  f.counts.corrupted = 100;
  f.counts.bitErrors = 410;
  f.lastReceiptSeconds = 0.2;
  EXPECT_EQ(Summary(f).find("unlike those sent"), std::string::npos) << Summary(f);
  EXPECT_NE(Summary(f).find("hint: bytes came back changed"), std::string::npos) << Summary(f);
}

// The facts of a one-shot run of `sent` that came back as `received`.
RunFacts Judged(const std::string& sent, const std::string& received) {
  MemoryStream stream(sent, false);
  StreamComparator comparator(stream);
  comparator.SetSent(sent.size());
  comparator.Feed(reinterpret_cast<const std::uint8_t*>(received.data()), received.size());
  comparator.Finish(sent.size());
  RunFacts f = IntactRun(sent.size(), sent.size());
  f.fileSize = sent.size();
  f.received = received.size();
  f.counts = comparator.Counts();
  f.differences = comparator.Differences();
  return f;
}

// Line endings converted on the way (LF to CR LF) are named as such, not
// as chatter; a banner is still a banner.
TEST(RunVerdict, CarriageReturnsPutBeforeLineFeedsAreToldAsAConversion) {
  std::string sent, converted;
  for (int line = 0; line < 300; ++line) {
    const std::string text = "line " + std::to_string(line) + " of the file, long enough to stand alone\n";
    sent += text;
    converted += text.substr(0, text.size() - 1) + "\r\n";
  }
  RunFacts f = Judged(sent, converted);
  ASSERT_EQ(f.counts.extra, 300u);
  ASSERT_EQ(f.counts.lost + f.counts.corrupted, 0u);
  EXPECT_NE(Summary(f).find("hint: the extra bytes are carriage returns put before line feeds"), std::string::npos)
      << Summary(f);
  f = Judged(sent, "\r\nBOOT 1.0\r\n" + sent);
  EXPECT_NE(Summary(f).find("hint: the far end sent bytes it was never sent"), std::string::npos) << Summary(f);
  std::string marked = sent;  // something else put in before each line feed
  for (std::size_t at = marked.find('\n'); at != std::string::npos; at = marked.find('\n', at + 2))
    marked.insert(at, "~");
  f = Judged(sent, marked);
  ASSERT_EQ(f.counts.extra, 300u);
  EXPECT_NE(Summary(f).find("hint: the far end sent bytes it was never sent"), std::string::npos) << Summary(f);
}

// Bytes lost a few bytes apart share a place; it says they are not one run.
TEST(RunVerdict, APlaceSaysInHowManyGapsItsBytesWereLost) {
  std::string sent;
  for (int k = 0; k < 4000; ++k) sent += static_cast<char>((k * 37 + k / 256) & 0xFF);
  std::string received = sent;
  received.erase(1010, 1).erase(1000, 1);
  const RunFacts f = Judged(sent, received);
  ASSERT_EQ(f.counts.lost, 2u);
  EXPECT_NE(Summary(f).find(": 2 lost (in 2 gaps)"), std::string::npos) << Summary(f);
}

TEST(RunVerdict, SettingsARawNetworkPortCannotApplyAreSaidToBeUnapplied) {
  RunFacts f = IntactRun(100, 100);
  f.options.port = "tcp://127.0.0.1:3001?baud=9600&format=7E1";
  EXPECT_NE(Summary(f).find("its line keeps the server's settings, not these"), std::string::npos) << Summary(f);
  f.options.port = "rfc2217://127.0.0.1:3002?baud=9600";
  EXPECT_EQ(Summary(f).find("server's settings"), std::string::npos) << Summary(f);
}

// Another program with the port open reads what it finds there: it, not the
// line, is the first suspect for bytes gone astray. It does not change the
// verdict: the line may be at fault too.
TEST(RunVerdict, AnotherProgramOnThePortIsNamedAndSuspectedFirstOfBytesGoneAstray) {
  RunFacts f = IntactRun(16384, 16384);
  f.options.port = "/dev/pts/3?baud=9600";
  EXPECT_NE(Json(f).find("\"other_holders\": [],"), std::string::npos) << Json(f);
  f.otherHolders = {{1234, "cat"}, {99, "say \"hi\""}};
  EXPECT_EQ(JudgeRun(f), Verdict::Ok);
  EXPECT_NE(Summary(f).find("\n  shared    /dev/pts/3 is open in other programs too: 1234 (cat), 99 (say \"hi\")\n"),
            std::string::npos)
      << Summary(f);
  EXPECT_EQ(Summary(f).find("hint:"), std::string::npos) << Summary(f);
  EXPECT_NE(Json(f).find("\"other_holders\": [{\"pid\": 1234, \"command\": \"cat\"}, "
                         "{\"pid\": 99, \"command\": \"say \\\"hi\\\"\"}],"),
            std::string::npos)
      << Json(f);

  f.otherHolders.resize(1);
  f.counts.matched -= 11008;
  f.received = f.counts.received -= 11008;
  f.counts.lost = 11008;
  f.counts.gaps = 14;
  f.sendingSeconds = 0.18;
  f.lastReceiptSeconds = 0.55;
  EXPECT_EQ(JudgeRun(f), Verdict::Failed);
  const std::string summary = Summary(f);
  EXPECT_NE(summary.find("  shared    /dev/pts/3 is open in another program too: 1234 (cat)\n"), std::string::npos)
      << summary;
  // What the line alone would be told comes after.
  EXPECT_NE(summary.find("hint: another program has /dev/pts/3 open too (1234 (cat)): it may have read the bytes "
                         "called lost; close it and run again. Otherwise: the line carries about"),
            std::string::npos)
      << summary;
  // One that has it open only for writing took none of them.
  f.otherHolders[0].reads = false;
  EXPECT_NE(Summary(f).find("  shared    /dev/pts/3 is open in another program too: 1234 (cat, write-only)\n"),
            std::string::npos)
      << Summary(f);
  EXPECT_NE(Summary(f).find("hint: the line carries about"), std::string::npos) << Summary(f);
  f.counts.extra = 12;  // but it may have put bytes in
  f.received = f.counts.received += 12;
  EXPECT_NE(Summary(f).find("it may have written the extra ones; close it"), std::string::npos) << Summary(f);
  f.counts.extra = 0;
  f.received = f.counts.received -= 12;
  f.otherHolders[0].reads = true;
  // Seen by a user who could not look at other users' programs: the hint
  // says that one of them may hold the port.
  f.otherHolders.clear();
  f.holdersUnseen = true;
  EXPECT_NE(Summary(f).find("; programs of other users (a modem manager, a getty) could not be looked at for having "
                            "the port open too: run as root to see them"),
            std::string::npos)
      << Summary(f);
  f.otherHolders = {{1234, "cat"}};
  f.linkError = true;  // a hang-up is no byte the other program took
  EXPECT_EQ(Summary(f).find("another program has"), std::string::npos) << Summary(f);
  EXPECT_EQ(Summary(f).find("programs of other users"), std::string::npos) << Summary(f);
  f = IntactRun(5000, 3000);  // nor is a line that stopped taking bytes
  f.otherHolders = {{1234, "cat"}};
  EXPECT_NE(Summary(f).find("hint: the line stopped taking bytes"), std::string::npos) << Summary(f);
}

// Every byte came back, over a line the driver made other than the one
// asked for (a pseudo-terminal keeps 8 data bits and no parity): that line
// was not tested.
TEST(RunVerdict, ALineSettingThePortDidNotHoldFailsTheRunAndIsNamed) {
  RunFacts f = IntactRun(16384, 16384);
  f.options.port = "/dev/pts/0?format=7E1";
  f.settingsNotHeld = "8 data bits and no parity where 7 data bits and even parity were set";
  f.pseudoTerminal = true;
  EXPECT_EQ(JudgeRun(f), Verdict::Failed);
  EXPECT_EQ(ExitStatus(f), 1);
  const std::string summary = Summary(f);
  EXPECT_NE(summary.find("\n  settings  the port holds 8 data bits and no parity where 7 data bits and even parity "
                         "were set: not the line asked for\n"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("hint: the port holds 8 data bits and no parity where 7 data bits and even parity were set: "
                         "the run did not test the line asked for; a pseudo-terminal carries 8 data bits without "
                         "parity whatever it is told: leave format= out of its name"),
            std::string::npos)
      << summary;
  EXPECT_NE(Json(f).find("\"settings_not_held\": \"8 data bits and no parity where 7 data bits and even parity were "
                         "set\","),
            std::string::npos)
      << Json(f);
  f.pseudoTerminal = false;  // an adapter that rounded the rate, say
  EXPECT_NE(Summary(f).find("; ask for settings the adapter supports"), std::string::npos) << Summary(f);
  f.settingsNotHeld.clear();
  EXPECT_EQ(JudgeRun(f), Verdict::Ok);
  EXPECT_NE(Json(f).find("\"settings_not_held\": null,"), std::string::npos) << Json(f);
}

// Every byte that went out came back, yet the run did not send the file: it
// was cut short on disk, or changed under the run.
TEST(RunVerdict, AFileNotSentWholeOrChangedMeanwhileFailsTheRun) {
  RunFacts f = IntactRun(80384, 80384);
  f.fileSize = 197304;
  EXPECT_EQ(JudgeRun(f), Verdict::Failed);
  EXPECT_NE(Summary(f).find("hint: the file could not be read to its end"), std::string::npos) << Summary(f);
  f.fileChanged = true;
  EXPECT_NE(Summary(f).find("hint: the file changed while it was being sent"), std::string::npos) << Summary(f);
  // Counts against bytes the file no longer holds are not the line's faults.
  f.counts.lost = f.counts.extra = 4000;
  EXPECT_NE(Summary(f).find("FAILED: the file changed during the run; against what it held when read, 4000 lost"),
            std::string::npos)
      << Summary(f);
  EXPECT_EQ(Summary(f).find("errors "), std::string::npos) << Summary(f);
  EXPECT_NE(Summary(f).find("197304 bytes (when read: it changed during the run)"), std::string::npos) << Summary(f);
  EXPECT_NE(Json(f).find("\"error_rate\": null, \"bit_error_rate\": null"), std::string::npos) << Json(f);
  f = IntactRun(900000, 900000);  // a stress run sends no whole number of files
  f.fileSize = 197304;
  f.options.stress = true;
  EXPECT_EQ(JudgeRun(f), Verdict::Ok);
  f.fileChanged = true;
  EXPECT_EQ(JudgeRun(f), Verdict::Failed);
}

}  // namespace
}  // namespace vx::tools
