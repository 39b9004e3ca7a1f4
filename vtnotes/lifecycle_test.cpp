// lifecycle_test.cpp - start-up in and out of the router, settings written back, the spool
// at start and end, the identifier, and termination with mails in flight.
#include <gtest/gtest.h>

#include <thread>

#include "vtnotes/hook_test_support.h"
#include "vtnotes/spool.h"

namespace vtnotes {
namespace {

using testing_support::RouterTest;

class LifecycleTest : public RouterTest {};

TEST_F(LifecycleTest, OtherTasksGetNoHooksAndTouchNothing) {
  vtplatform::MachineIdentity identity;
  identity.module_path = Path("domino/nAMgr");
  vtplatform::SetMachineIdentity(identity);
  WriteFile(JoinPath(Out(), "old/0.bdy"), "x");
  DBHOOKVEC vector{};
  EXPECT_EQ(EntryPoint(&vector), NOERROR);
  EXPECT_EQ(vector.NoteOpen, nullptr);
  EXPECT_FALSE(State().started);
  EXPECT_TRUE(Exists(JoinPath(Out(), "old/0.bdy")));
  bool found = false;
  (void)ReadProductValue("TimeOut", &found);
  EXPECT_TRUE(found);  // set by the fixture, not written by the entry
  (void)ReadProductValue("LogBufSize", &found);
  EXPECT_FALSE(found);
}

TEST_F(LifecycleTest, RouterProgramNamesAreComparedWithoutCaseOrSuffix) {
  for (const char* name : {"nRouter", "NROUTER.EXE", "nrouter.exe"}) {
    vtplatform::MachineIdentity identity;
    identity.module_path = Path(std::string("domino/") + name);
    vtplatform::SetMachineIdentity(identity);
    EXPECT_TRUE(IsRouterProgram()) << name;
  }
  vtplatform::MachineIdentity identity;
  identity.module_path = Path("domino/nrouterx");
  vtplatform::SetMachineIdentity(identity);
  EXPECT_FALSE(IsRouterProgram());
}

TEST_F(LifecycleTest, MissingInstallDirectoryInstallsNothing) {
  WriteText("windows/win.ini", "[Vantrel]\r\n");
  DBHOOKVEC vector{};
  EXPECT_EQ(EntryPoint(&vector), NOERROR);
  EXPECT_EQ(vector.NoteOpen, nullptr);
  EXPECT_EQ(vector.Term, nullptr);
}

TEST_F(LifecycleTest, AbsentSettingsAreWrittenBackWithTheirDefaults) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Veltrane\\Vantrel For Lotus Notes", 0,
                         KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  RegDeleteValue(key, "TimeOut");
  RegDeleteValue(key, "VTDEBUG");
  RegCloseKey(key);
  WriteText("vantrel/verinfo.ini", "[General]\r\nVersion=8.5.3 FP6\r\n");
  StartRouter();
  const std::pair<const char*, const char*> expected[] = {
      {"ProcessDeleteMailInSeconds", "20"}, {"TimeOut", "120"}, {"LogBufSize", "10000"},
      {"VTDEBUG", "1"}, {"VTDisableWarningToAdmin", "1"}, {"TimeOutWarningToAdmin", "1"},
      {"DONOT_DELETE_OUT_DIR", "0"}, {"LotusNotesBuild", "8.5.3"}, {"AdminCount", "20"},
      {"MailBox", "20"}, {"TotalTimeout", "0"}, {"TotalSkippedMail", "0"}};
  for (const auto& [name, value] : expected) EXPECT_EQ(ReadProductValue(name), value) << name;
  EXPECT_EQ(State().base_timeout_ms.load(), 120000);
  EXPECT_EQ(State().timeout_ceiling_ms.load(), 420000);
  EXPECT_EQ(State().debug_level.load(), 0);  // the "1" written back is not used at once
}

TEST_F(LifecycleTest, TimeOutSettingSetsBaseAndCeiling) {
  WriteProductValue("TimeOut", "30");
  StartRouter();
  EXPECT_EQ(State().base_timeout_ms.load(), 30000);
  EXPECT_EQ(State().current_timeout_ms.load(), 30000);
  EXPECT_EQ(State().timeout_ceiling_ms.load(), 330000);
}

TEST_F(LifecycleTest, VerbosityBoundsAtStartAndPerMail) {
  struct Case {
    long level;
    int at_start;
    int per_mail;
  };
  for (const Case& c : {Case{5, 1, 0}, Case{10, 2, 1}, Case{11, 2, 2}, Case{6, 1, 1}, Case{0, 0, 0}}) {
    EXPECT_EQ(StartupVerbosity(c.level), c.at_start) << c.level;
    EXPECT_EQ(HookVerbosity(c.level), c.per_mail) << c.level;
  }
}

TEST_F(LifecycleTest, EngineStoppedAtStartEmptiesBothSpoolsButSparesTheScanner) {
  WriteFile(JoinPath(In(), "8f6/0.hdr"), "x");
  WriteFile(JoinPath(In(), "ScanDatabase/scannow.txt"), "x");
  WriteFile(JoinPath(Out(), "8f6/r.hd0"), "x");
  StartRouter();
  EXPECT_FALSE(State().active);
  EXPECT_FALSE(Exists(JoinPath(In(), "8f6")));
  EXPECT_FALSE(Exists(JoinPath(Out(), "8f6")));
  EXPECT_TRUE(Exists(JoinPath(In(), "ScanDatabase/scannow.txt")));
}

TEST_F(LifecycleTest, EngineRunningKeepsInAndTerminationEmptiesOut) {
  StartEngine(nullptr);
  WriteFile(JoinPath(In(), "8f6/0.bdy"), "x");  // no 0.hdr: the engine leaves it
  WriteFile(JoinPath(Out(), "8f6/r.hd0"), "x");
  StartRouter();
  EXPECT_TRUE(State().active);
  EXPECT_TRUE(Exists(JoinPath(In(), "8f6/0.bdy")));
  EXPECT_FALSE(Exists(JoinPath(Out(), "8f6")));
  WriteFile(JoinPath(Out(), "28f6/r.hd0"), "x");
  StopRouter();
  EXPECT_TRUE(Exists(JoinPath(In(), "8f6/0.bdy")));
  EXPECT_FALSE(Exists(JoinPath(Out(), "28f6")));
  EXPECT_TRUE(Exists(Out()));
}

TEST_F(LifecycleTest, IdentifierIsCreatedOnceAndReused) {
  StartRouter();
  const std::string id = State().vantrel_id;
  ASSERT_FALSE(id.empty());
  const std::size_t hyphen = id.find('-');
  ASSERT_NE(hyphen, std::string::npos);
  EXPECT_EQ(id.size() - hyphen - 1, 10u);
  StopRouter();
  StartRouter();
  EXPECT_EQ(State().vantrel_id, id);
}

TEST_F(LifecycleTest, ReloadReadsTheSettingsAgain) {
  StartEngine(nullptr);
  StartRouter();
  WriteProductValue("TimeOut", "7");
  WriteProductValue("DONOT_DELETE_OUT_DIR", "1");
  WriteText("vantrel/vantrel.ini", "[General]\r\nScanDir=In\r\nAdminEmailId=a@x,,b@y\r\n");
  State().current_timeout_ms = 900000;
  HANDLE update = CreateEvent(nullptr, FALSE, FALSE, "UpdateEvent");
  SetEvent(update);
  for (int i = 0; i < 200 && State().base_timeout_ms != 7000; ++i) Sleep(10);
  CloseHandle(update);
  for (int i = 0; i < 200 && !State().keep_out_jobs; ++i) Sleep(10);
  EXPECT_EQ(State().base_timeout_ms.load(), 7000);
  EXPECT_EQ(State().current_timeout_ms.load(), 7000);
  EXPECT_TRUE(State().keep_out_jobs);
  EXPECT_EQ(State().AdminAddresses(), (std::vector<std::string>{"a@x", "b@y"}));
}

// What the engine does when it comes up: UpdateDLL makes or opens the event, sets it and
// closes its handle at once, so the signal survives only if the router holds the event.
void SignalAsTheEngineDoes() {
  HANDLE update = CreateEvent(nullptr, FALSE, FALSE, "UpdateEvent");
  ASSERT_NE(update, nullptr);
  SetEvent(update);
  CloseHandle(update);
}

bool BecomesActiveWithin(DWORD milliseconds) {
  for (DWORD waited = 0; waited < milliseconds && !State().active; waited += 10) Sleep(10);
  return State().active;
}

// The server first, the engine later: the router already holds the event when start-up
// returns, so an engine that comes up at any moment after the look is heard.
TEST_F(LifecycleTest, EngineStartedAfterTheRouterTurnsScanningOn) {
  StartRouter();
  EXPECT_FALSE(State().active);
  HANDLE held = OpenEvent(EVENT_ALL_ACCESS, FALSE, "UpdateEvent");
  EXPECT_NE(held, nullptr) << "the reload event must exist once start-up has returned";
  if (held != nullptr) CloseHandle(held);

  StartEngine(nullptr);
  SignalAsTheEngineDoes();
  EXPECT_TRUE(BecomesActiveWithin(1000));
}

// An engine that stopped answering was taken for gone at a time-out (scanning off, the
// time-out at its ceiling); the engine started again announces itself and scanning resumes
// with the configured time-out.
TEST_F(LifecycleTest, EngineRestartedAfterATimeOutResumesScanning) {
  StartRouter();
  State().active = false;
  State().current_timeout_ms = State().timeout_ceiling_ms.load();
  StartEngine(nullptr);
  SignalAsTheEngineDoes();
  ASSERT_TRUE(BecomesActiveWithin(1000));
  EXPECT_EQ(State().current_timeout_ms.load(), State().base_timeout_ms.load());

}

// A signal that comes while a reload runs is a reload of its own: the reload must not
// reset the event afterwards and swallow it.
TEST_F(LifecycleTest, SignalDuringAReloadIsNotSwallowed) {
  StartEngine(nullptr);
  StartRouter();
  // Hold the reload in the middle: it has read the administrators and waits for MyMutex.
  ASSERT_EQ(WaitForSingleObject(State().my_mutex.get(), INFINITE), WAIT_OBJECT_0);
  SignalAsTheEngineDoes();
  Sleep(300);
  WriteText("vantrel/vantrel.ini", "[General]\r\nScanDir=In\r\nAdminEmailId=late@x\r\n");
  SignalAsTheEngineDoes();
  ReleaseMutex(State().my_mutex.get());
  for (int i = 0; i < 100 && State().AdminAddresses() != std::vector<std::string>{"late@x"}; ++i)
    Sleep(10);
  EXPECT_EQ(State().AdminAddresses(), std::vector<std::string>{"late@x"});
}

TEST_F(LifecycleTest, TerminationWaitsForMailsInFlightAndEndsItsThreads) {
  // The engine holds its lock but never answers: the open waits its full time-out.
  HANDLE lock = CreateFile(Path("vantrel/maildisp.lck").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  StartRouter();
  NOTEID id = PutMail("mail.box", "in flight");
  STATUS status = 0xFFFF;
  std::thread opener([&] {
    ASSERT_EQ(NotesInitThread(), NOERROR);
    status = OpenAsRouter("mail.box", id).status;
    NotesTermThread();
  });
  while (State().hooks_in_flight.load() == 0) Sleep(1);
  Term(vector_);
  // Term returned only after the open had finished and both threads had ended.
  EXPECT_EQ(State().hooks_in_flight.load(), 0);
  EXPECT_FALSE(State().started);
  opener.join();
  EXPECT_EQ(status, NOERROR);
  // After termination the hooks let everything pass.
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);
  CloseHandle(lock);
}

}  // namespace
}  // namespace vtnotes
