// Tests of the nsf tool, run as a user runs it: a fresh root per case, the built program
// started as a process, its output and exit status checked.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct ToolRun {
  int status = -1;
  std::string out;
};

class NsfTool : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* build = std::getenv("VT_BUILD_DIR");
    ASSERT_NE(build, nullptr) << "VT_BUILD_DIR names the build directory";
    program_ = std::string(build) + "/bin/nsf";
    char pattern[] = "/tmp/vt-nsf-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(fs::path(root_) / "domino" / "data");
  }
  void TearDown() override { fs::remove_all(root_); }

  // Runs nsf with the arguments (shell words) and the root; stdout and stderr together.
  ToolRun Nsf(const std::string& arguments) {
    ToolRun run;
    std::string command = program_ + " --root '" + root_ + "' " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, got);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
  }

  std::string Write(const std::string& name, const std::string& content) {
    std::string path = root_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::string program_;
  std::string root_;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(NsfTool, PutSearchShowAndDeleteDocuments) {
  ASSERT_EQ(Nsf("create vtsched.nsf --title 'Rules' --class VtSchedule").status, 0);
  ToolRun alice = Nsf("put vtsched.nsf Form=NewUser Email3=alice@example.com Max_Send_Size#=100 "
                  "Tags[]=a,b,c 'Since@=2026-12-07 10:30:00' Status=Enable");
  ASSERT_EQ(alice.status, 0) << alice.out;
  ToolRun bob = Nsf("put vtsched.nsf Form=NewUser Email3=bob@example.com");
  ASSERT_EQ(bob.status, 0) << bob.out;
  std::string alice_id = alice.out.substr(0, alice.out.find('\n'));
  std::string bob_id = bob.out.substr(0, bob.out.find('\n'));

  ToolRun found = Nsf("search vtsched.nsf 'SELECT form = \"NewUser\" & Email3 = \"ALICE@EXAMPLE.COM\"' --json");
  ASSERT_EQ(found.status, 0) << found.out;
  EXPECT_TRUE(Has(found.out, "\"noteid\": " + alice_id)) << found.out;
  EXPECT_FALSE(Has(found.out, "\"noteid\": " + bob_id)) << found.out;

  ToolRun shown = Nsf("show vtsched.nsf " + alice_id + " --json");
  ASSERT_EQ(shown.status, 0) << shown.out;
  EXPECT_TRUE(Has(shown.out, R"("name": "Max_Send_Size", "type": "number", "type_code": 768)")) << shown.out;
  EXPECT_TRUE(Has(shown.out, R"("value": 100})")) << shown.out;
  EXPECT_TRUE(Has(shown.out, R"("type": "text-list", "type_code": 1281)")) << shown.out;
  EXPECT_TRUE(Has(shown.out, R"("value": ["a", "b", "c"]})")) << shown.out;
  EXPECT_TRUE(Has(shown.out, R"("name": "Since", "type": "time")")) << shown.out;

  ToolRun listed = Nsf("ls vtsched.nsf");
  EXPECT_TRUE(Has(listed.out, "NewUser")) << listed.out;

  ASSERT_EQ(Nsf("delete vtsched.nsf " + bob_id).status, 0);
  ToolRun after = Nsf("ls vtsched.nsf --json");
  EXPECT_FALSE(Has(after.out, "\"noteid\": " + bob_id + ",")) << after.out;
  EXPECT_TRUE(Has(after.out, "\"noteid\": " + alice_id + ",")) << after.out;

  // --note changes an existing document.
  ASSERT_EQ(Nsf("put vtsched.nsf --note " + alice_id + " Status=Disable").status, 0);
  EXPECT_TRUE(Has(Nsf("show vtsched.nsf " + alice_id).out, "Disable"));
}

TEST_F(NsfTool, FailuresSayWhyAndExitNonZero) {
  ASSERT_EQ(Nsf("create a.nsf").status, 0);
  ToolRun syntax = Nsf("search a.nsf 'SELECT form = '");
  EXPECT_EQ(syntax.status, 1);
  EXPECT_TRUE(Has(syntax.out, "column")) << syntax.out;

  ToolRun missing_note = Nsf("show a.nsf 4242");
  EXPECT_EQ(missing_note.status, 1);
  EXPECT_TRUE(Has(missing_note.out, "nsf: cannot open note 4242")) << missing_note.out;

  ToolRun missing_db = Nsf("ls nothere.nsf");
  EXPECT_EQ(missing_db.status, 1);
  EXPECT_TRUE(Has(missing_db.out, "nothere.nsf")) << missing_db.out;

  std::string not_a_db = Write("domino/data/junk.nsf", "this is not a database");
  EXPECT_EQ(Nsf("ls junk.nsf").status, 1);
  EXPECT_EQ(Nsf("create a.nsf").status, 1);  // exists already

  EXPECT_EQ(Nsf("frobnicate a.nsf").status, 2);
  EXPECT_EQ(Nsf("show a.nsf notanid").status, 2);
  EXPECT_EQ(Nsf("put a.nsf =novalue").status, 2);
  EXPECT_EQ(Nsf("put a.nsf Size#=twelve").status, 2);
  EXPECT_EQ(Nsf("").status, 2);
  EXPECT_EQ(Nsf("--help").status, 0);
}

TEST_F(NsfTool, ImportStoresAMimeMailAndExtractGivesAttachmentsBack) {
  ASSERT_EQ(Nsf("create mail.box --title Mail --class MailBox").status, 0);
  std::string body;
  while (body.size() < 150000) body += "A line of a long message body to spread over several items.\r\n";
  std::string eml = Write("big.eml",
                          "From: Alice <alice@example.com>\r\n"
                          "To: bob@example.com, Carol <carol@example.com>\r\n"
                          "Subject: Quarterly figures\r\n"
                          "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\n"
                          "X-Mailer: Test Mailer 1.0\r\n"
                          "\r\n" + body);
  ToolRun imported = Nsf("import mail.box " + eml);
  ASSERT_EQ(imported.status, 0) << imported.out;
  std::string id = imported.out.substr(0, imported.out.find('\n'));
  ToolRun shown = Nsf("show mail.box " + id + " --json");
  EXPECT_TRUE(Has(shown.out, R"("name": "SendTo", "type": "text-list")")) << shown.out;
  EXPECT_TRUE(Has(shown.out, R"(["bob@example.com", "Carol <carol@example.com>"])")) << shown.out;
  EXPECT_TRUE(Has(shown.out, R"("name": "Recipients")")) << shown.out;
  EXPECT_TRUE(Has(shown.out, R"("value": "Test Mailer 1.0")")) << shown.out;
  size_t mime_parts = 0;
  for (size_t at = shown.out.find("\"mime-part\""); at != std::string::npos; at = shown.out.find("\"mime-part\"", at + 1)) {
    ++mime_parts;
  }
  EXPECT_EQ(mime_parts, 3u) << shown.out;
  EXPECT_EQ(Nsf("search mail.box 'SELECT PostedDate != NULL & Subject = \"quarterly figures\"'").out.rfind(id, 0), 0u);

  EXPECT_EQ(Nsf("import mail.box " + root_ + "/none.eml").status, 1);

  std::string file = Write("report.txt", std::string(5000, 'r'));
  std::string text = Write("body.txt", "First paragraph.\r\nSecond one.\r\n");
  ToolRun put = Nsf("put mail.box Form=Memo --body " + text + " --attach " + file);
  ASSERT_EQ(put.status, 0) << put.out;
  std::string with_file = put.out.substr(0, put.out.find('\n'));
  fs::create_directories(root_ + "/out");
  ToolRun extracted = Nsf("extract mail.box " + with_file + " " + root_ + "/out");
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  EXPECT_EQ(fs::file_size(root_ + "/out/report.txt"), 5000u);
  ToolRun memo = Nsf("show mail.box " + with_file + " --json");
  EXPECT_TRUE(Has(memo.out, R"("type": "rich-text")")) << memo.out;
  EXPECT_TRUE(Has(memo.out, R"(First paragraph.\nSecond one.)")) << memo.out;
  EXPECT_TRUE(Has(memo.out, R"x("value": "report.txt (5000 bytes)")x")) << memo.out;
}

}  // namespace

namespace {

TEST_F(NsfTool, ExportWritesTheMailBackAndShowFullShowsWholeValues) {
  ASSERT_EQ(Nsf("create mail.box --title Mail --class MailBox").status, 0);
  const std::string attachment(3000, '\x7f');
  const std::string message =
      "From: a@example.com\r\nSubject: export\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\n" + std::string(300, 't') + "\r\n"
      "--b\r\nContent-Type: application/octet-stream; name=\"f.bin\"\r\n\r\n" + attachment + "\r\n"
      "--b--\r\n";
  ToolRun imported = Nsf("import mail.box " + Write("in.eml", message));
  ASSERT_EQ(imported.status, 0) << imported.out;
  std::string id = imported.out.substr(0, imported.out.find('\n'));

  ToolRun exported = Nsf("export mail.box " + id + " " + root_ + "/out.eml");
  ASSERT_EQ(exported.status, 0) << exported.out;
  std::ifstream in(root_ + "/out.eml", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), message);
  EXPECT_EQ(Nsf("export mail.box " + id).out, message);  // to standard output
  EXPECT_EQ(Nsf("export mail.box 0x12E").status, 1);

  ToolRun cut = Nsf("show mail.box " + id);
  EXPECT_FALSE(Has(cut.out, std::string(300, 't'))) << cut.out;
  EXPECT_TRUE(Has(cut.out, "...")) << cut.out;
  ToolRun full = Nsf("show mail.box " + id + " --full");
  EXPECT_TRUE(Has(full.out, std::string(300, 't') + "\\r\\n--b")) << full.out;
  EXPECT_TRUE(Has(full.out, "[content in attachment f.bin]")) << full.out;
  ToolRun help = Nsf("--help");
  EXPECT_TRUE(Has(help.out, "export DB NOTEID [FILE]")) << help.out;
  EXPECT_TRUE(Has(help.out, "--full")) << help.out;
}

}  // namespace
