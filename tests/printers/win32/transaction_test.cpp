// The transaction engine against simulated printers: what the caller gets back, what the user
// sees in the pane meanwhile, how long failures take, and that nothing is left open.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/printer_state.h"
#include "device/discovery.h"
#include "device/transaction.h"
#include "info/model_identification.h"
#include "printer_test_support.h"

namespace {

const CommandRecordEntry &Entry(const std::string &name) {
  for (const CommandRecordEntry &entry : commandRecordTable) {
    if (name == entry.name) return entry;
  }
  ADD_FAILURE() << "no record " << name;
  return commandRecordTable[0];
}

struct Outcome {
  int result = -1;
  unsigned int length = 0xDEADBEEF;  // stays when the engine must not write it
  DWORD milliseconds = 0;
  std::vector<std::wstring> paneTexts;  // every distinct text the pane showed meanwhile
  std::wstring paneAfter;               // the pane 600 ms after the engine returned
};

class Transactions : public ::testing::Test {
 protected:
  void SetUp() override { SetWindowTextW(app.infoPane, L"Reading"); }
  void TearDown() override { SetReplySearchReadsForTesting(0); }

  // Aims the engine at a printer and loads slot 0 with a record and its table read settings.
  void Load(const std::wstring &path, int family, const CommandRecordEntry &entry) {
    lstrcpynW(currentDevicePath, path.c_str(), kDevicePathUnits);
    protocolFamily = family;
    ClearCommandSlots();
    PrepareCommandSlot(0, entry.lengthWidth ? 1 : 0, ReplyLengthOffset(entry, family),
                       entry.lengthWidth, entry.record, entry.recordLength);
  }

  // Runs the transaction on a worker thread, as the program does, while this thread serves the
  // pane and notes what it shows.
  Outcome Run(int slot = 0, int writeOnly = 0, bool watchAfter = false) {
    Outcome outcome;
    std::atomic<bool> done(false);
    const DWORD start = GetTickCount();
    std::thread worker([&] {
      outcome.result = RunTransaction(slot, &outcome.length, writeOnly);
      outcome.milliseconds = GetTickCount() - start;
      done = true;
    });
    auto note = [&] {
      wchar_t text[1024] = {};
      GetWindowTextW(app.infoPane, text, 1024);
      if (outcome.paneTexts.empty() || outcome.paneTexts.back() != text) {
        outcome.paneTexts.push_back(text);
      }
    };
    while (!done) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
      note();
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    worker.join();
    note();
    if (watchAfter) {
      const std::wstring last = outcome.paneTexts.back();
      const DWORD end = GetTickCount();
      while (GetTickCount() - end < 600) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(10);
      }
      wchar_t text[1024] = {};
      GetWindowTextW(app.infoPane, text, 1024);
      outcome.paneAfter = text;
    }
    return outcome;
  }

  std::string Reply(unsigned int length) const {
    return std::string(reinterpret_cast<const char *>(replyBuffer), length);
  }

  TestWindows windows_;
};

TEST_F(Transactions, QueriesOfBothFamiliesBringBackTheirBlocks) {
  SimulatedPrinterSetup first = FamilyPrinter(1, 1);
  first.identity.firmwareVersion = "1.40.07";
  first.identity.productCode = "KL1020A001";
  first.identity.versionText = "KL-1020 engine 2.4";
  PrinterUnderTest family1(first);
  PrinterUnderTest family2(FamilyPrinter(2, 2));

  struct Case {
    int family;
    const char *record;
    unsigned int length;  // 0: the length of bytes
    std::string bytes;    // expected from the start of the reply, or from byte 6 of a header
  };
  const Case cases[] = {
      {1, "CMD_F1_FF11", 16, std::string("\x4B\x4C\x10\x20", 4)},
      {1, "CMD_F1_0001", 16, "1.40.07"},
      {1, "CMD_FF05", 11, std::string("KL1020A001\0", 11)},
      {1, "CMD_F1_FF07", 18, std::string("00:1B:4B:56:01:2C\0", 18)},
      {1, "CMD_F1_FF85", 16, std::string("\x00\x01", 2)},
      {1, "CMD_F1_0008", 0, "KL-1020 engine 2.4"},
      {1, "CMD_F1_LANGUAGE_03", 16, std::string("\0\0", 2)},
      {2, "CMD_SSI_PRODUCT_MODEL", 4, std::string("301\0", 4)},
      {2, "CMD_SSI_FW_VERSION", 8, std::string("3.01.22\0", 8)},
      {2, "CMD_FF05", 11, std::string("KV30100A01\0", 11)},
      {2, "CMD_READ_ETC_VERSION", 0, "build 2291\nOrbis firmware 3.01.22 (2023-05-14)\n"},
      {2, "CMD_SSI_PRINT_NAME", 17, std::string("Orbis 300 Studio\0", 17)},
      {2, "CMD_SET_LANGUAGE_9", 16, std::string("\0\0", 2)},
      // Sent to every family by the firmware version check.
      {1, "CMD_SSI_FW_VERSION", 8, std::string("1.40.07\0", 8)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.record) + " family " + std::to_string(c.family));
    const PrinterUnderTest &printer = c.family == 1 ? family1 : family2;
    const CommandRecordEntry &entry = Entry(c.record);
    Load(printer.path(), c.family, entry);
    const Outcome outcome = Run();
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.length, c.length ? c.length : c.bytes.size());
    const size_t from = entry.lengthWidth ? 0 : 6;
    EXPECT_EQ(Reply(outcome.length).substr(from, c.bytes.size()), c.bytes);
    EXPECT_EQ(printer.record().received.back(), c.record);
  }
  EXPECT_EQ(family2.record().settings, std::vector<std::string>{"OID_PLATFORM_LANGUAGE_CODE=9"});
}

TEST_F(Transactions, BlocksThatAreNotTheReplyAreSkippedWithinTheReadLimit) {
  struct Case {
    int family;
    int strayBlocks;
    unsigned int readLimit;  // 0: the engine's own
    int result;
  };
  const Case cases[] = {
      {2, 6, 0, 0},  // among them a family-2 near miss: 00 AC FF 21 01
      {1, 6, 0, 0},
      {2, 4, 5, 0},  // the fifth read brings the reply
      {2, 5, 5, 1},  // the reads run out on stray blocks: no reply, however plausible
      {1, 5, 5, 1},
  };
  int number = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE("family " + std::to_string(c.family) + ", " + std::to_string(c.strayBlocks) +
                 " stray blocks, limit " + std::to_string(c.readLimit));
    SimulatedPrinterSetup setup = FamilyPrinter(c.family, ++number);
    setup.faults.strayBlocks = c.strayBlocks;
    PrinterUnderTest printer(setup);
    SetReplySearchReadsForTesting(c.readLimit);
    Load(printer.path(), c.family, Entry("CMD_SSI_FW_VERSION"));
    const Outcome outcome = Run();
    EXPECT_EQ(outcome.result, c.result);
    if (c.result == 0) {
      EXPECT_EQ(outcome.length, 8u);
      EXPECT_EQ(Reply(8), std::string("3.01.22\0", 8));
    } else {
      EXPECT_EQ(outcome.length, 0xDEADBEEF) << "a failure leaves the count alone";
    }
    EXPECT_LT(outcome.milliseconds, 2000u) << "no waiting for a time-out";
  }
}

TEST_F(Transactions, AnnouncedLengthsThatDoNotFitTheBlock) {
  struct Case {
    const char *what;
    PrinterFaults faults;
    int result;
    unsigned int length;
  };
  PrinterFaults oversize, shortData, emptyBlock;
  oversize.oversizeLength = true;
  shortData.shortDataBytes = 2;
  emptyBlock.emptyBlock = true;
  const Case cases[] = {
      {"5000 announced in a 2-byte field: 4096 read", oversize, 0, 4096},
      {"more announced than delivered", shortData, 1, 0},
      {"an empty block where the header belongs", emptyBlock, 1, 0},
  };
  int number = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SimulatedPrinterSetup setup = FamilyPrinter(2, ++number);
    setup.faults = c.faults;
    PrinterUnderTest printer(setup);
    Load(printer.path(), 2, Entry("CMD_SSI_PRINT_NAME"));
    const Outcome outcome = Run();
    EXPECT_EQ(outcome.result, c.result);
    if (c.result == 0) {
      EXPECT_EQ(outcome.length, c.length);
    }
    EXPECT_LT(outcome.milliseconds, 2000u);
  }
}

TEST_F(Transactions, EmptyDataBlockPausesWhileThePaneTicks) {
  SimulatedPrinterSetup setup = FamilyPrinter(2, 1);
  setup.faults.zeroLength = true;
  PrinterUnderTest printer(setup);
  Load(printer.path(), 2, Entry("CMD_SSI_FW_VERSION"));
  const Outcome outcome = Run(0, 0, true);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.length, 0u);
  EXPECT_GE(outcome.milliseconds, 2900u);
  EXPECT_LT(outcome.milliseconds, 4500u);
  // The ticker appended one dot after another to the text the pane held.
  ASSERT_GE(outcome.paneTexts.size(), 4u);
  EXPECT_EQ(outcome.paneTexts[0], L"Reading");
  // (Under load the pane may be sampled less often than the ticker steps: dots can be skipped
  // between two samples, but never removed.)
  size_t dots = 0;
  for (size_t i = 1; i < outcome.paneTexts.size(); ++i) {
    const std::wstring &text = outcome.paneTexts[i];
    ASSERT_EQ(text.substr(0, 7), L"Reading");
    EXPECT_EQ(text.find_first_not_of(L'.', 7), std::wstring::npos) << "only dots follow";
    EXPECT_GT(text.size() - 7, dots) << "one dot more at each step";
    dots = text.size() - 7;
  }
  // Stopped with the transaction: nothing changes the pane after it returned.
  EXPECT_EQ(outcome.paneAfter, outcome.paneTexts.back());
}

TEST_F(Transactions, PrinterThatNeverAnswersFailsAfterTheReadWait) {
  SimulatedPrinterSetup setup = FamilyPrinter(2, 1);
  setup.faults.silent = true;
  PrinterUnderTest printer(setup);
  Load(printer.path(), 2, Entry("CMD_SSI_FW_VERSION"));
  const Outcome outcome = Run(0, 0, true);
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(outcome.length, 0xDEADBEEF);
  EXPECT_GE(outcome.milliseconds, 4900u);
  EXPECT_LT(outcome.milliseconds, 9000u);
  EXPECT_GE(outcome.paneTexts.size(), 10u) << "the ticker ran meanwhile";
  EXPECT_EQ(outcome.paneAfter, outcome.paneTexts.back());
  EXPECT_EQ(printer.record().received, std::vector<std::string>{"CMD_SSI_FW_VERSION"});
}

TEST_F(Transactions, PrinterThatTakesNothingFailsAfterTheWriteWait) {
  SimulatedPrinterSetup setup = FamilyPrinter(1, 1);
  setup.faults.slowWriteMilliseconds = 4500;
  PrinterUnderTest printer(setup);
  Load(printer.path(), 1, Entry("CMD_F1_0001"));
  const Outcome outcome = Run(0, 0, true);
  EXPECT_EQ(outcome.result, 1);
  EXPECT_GE(outcome.milliseconds, 2900u);
  EXPECT_LT(outcome.milliseconds, 4400u) << "gave up before the printer took the packet";
  EXPECT_EQ(outcome.paneAfter, outcome.paneTexts.back());
}

TEST_F(Transactions, UnpluggedPrinterFailsAtOnceWithoutTicker) {
  PrinterUnderTest printer(FamilyPrinter(2, 1));
  UnplugSimulatedPrinter(printer.get());
  for (int writeOnly : {0, 1}) {
    Load(printer.path(), 2, Entry("CMD_SSI_FW_VERSION"));
    const Outcome outcome = Run(0, writeOnly);
    EXPECT_EQ(outcome.result, 1) << writeOnly;
    EXPECT_LT(outcome.milliseconds, 1000u) << writeOnly;
    EXPECT_EQ(outcome.paneTexts, std::vector<std::wstring>{L"Reading"}) << writeOnly;
  }
}

TEST_F(Transactions, WriteOnlySucceedsOnceThePacketIsWritten) {
  SimulatedPrinterSetup setup = FamilyPrinter(1, 1);
  setup.faults.silent = true;
  PrinterUnderTest printer(setup);
  Load(printer.path(), 1, Entry("CMD_FF84_03"));
  const Outcome outcome = Run(0, 1);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.length, 0xDEADBEEF) << "write-only mode reports no count";
  EXPECT_LT(outcome.milliseconds, 1000u);
  EXPECT_EQ(outcome.paneTexts, std::vector<std::wstring>{L"Reading"}) << "no ticker";
  const DWORD start = GetTickCount();
  while (printer.record().received.empty() && GetTickCount() - start < 2000) Sleep(10);
  EXPECT_EQ(printer.record().received, std::vector<std::string>{"CMD_FF84_03"});
}

TEST_F(Transactions, SlotsThatHoldNoPacketFailWithoutOpeningTheDevice) {
  PrinterUnderTest printer(FamilyPrinter(2, 1));
  Load(printer.path(), 2, Entry("CMD_FF05"));
  EXPECT_EQ(Run(-1).result, 1);
  EXPECT_EQ(Run(kCommandSlots).result, 1);
  EXPECT_EQ(Run(3).result, 1) << "an empty slot";
  slotTable[0].packetLength = kMaxPacketBytes + 1;
  EXPECT_EQ(Run(0).result, 1) << "a length past the packet area";
  EXPECT_EQ(PrepareCommandSlot(1, 1, 6, 2, CMD_FF05.data(), 200), 0);
  EXPECT_EQ(Run(1).result, 1) << "a record too long for a packet";
  EXPECT_EQ(printer.record().connections, 0);
}

TEST_F(Transactions, NothingIsLeftOpenWhateverTheOutcome) {
  // The printers run in a process of their own, so that only the engine's handles count here.
  SimulatorProcess simulator(L"--quiet --printer no-register,serial=" + UniqueSerial(1) +
                             L" --printer no-register,stray=3,serial=" + UniqueSerial(2) +
                             L" --printer no-register,short-data=1,serial=" + UniqueSerial(3));
  ASSERT_EQ(simulator.paths().size(), 3u) << simulator.Output();
  std::vector<std::wstring> paths = simulator.paths();
  paths.push_back(paths[0] + L"-unplugged");

  auto runAll = [&] {
    for (const std::wstring &path : paths) {
      Load(path, 2, Entry("CMD_SSI_FW_VERSION"));
      Run();
      Run(0, 1);
    }
    SetReplySearchReadsForTesting(2);  // stray blocks exhaust the search
    Load(paths[1], 2, Entry("CMD_SSI_FW_VERSION"));
    EXPECT_EQ(Run().result, 1);
    SetReplySearchReadsForTesting(0);
  };
  runAll();  // the first round settles whatever the system opens once per process
  // Every round takes every path again, so a handle the engine leaves open on any of them shows
  // once per round. Wine may give this process a handle of its own now and then while other
  // programs run beside it (seen: one event, with nothing but a thread and a message loop
  // running here), which is not a leak of the engine's.
  constexpr int kRounds = 5;
  const int before = ProcessHandleCount();
  ASSERT_GT(before, 0);
  for (int round = 0; round < kRounds; ++round) runAll();
  EXPECT_LT(ProcessHandleCount() - before, kRounds) << before << " handles open before";
  EXPECT_EQ(simulator.Stop(), 0) << simulator.Output();
}

}  // namespace
