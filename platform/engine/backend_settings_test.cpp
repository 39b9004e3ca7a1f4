// The [Engine] section of engine.ini and the daemons' addresses: what the engine accepts,
// and what makes it refuse to start rather than guess which scanner was meant; libclamav's
// temporary directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/engine/clam_scanner.h"
#include "platform/engine/clamd_pool.h"
#include "platform/engine/engine_config.h"
#include "platform/engine/engine_test_support.h"

namespace vtengine {
namespace {

using testing_support::TestRoot;

TEST(ClamdAddressTest, TakesTcpIpv6AndSocketAddresses) {
  ClamdAddress address;
  std::string error;
  ASSERT_TRUE(ParseClamdAddress("scan1.example.com:3310", &address, &error)) << error;
  EXPECT_EQ(address.host, "scan1.example.com");
  EXPECT_EQ(address.port, "3310");
  EXPECT_TRUE(address.socket_path.empty());

  ASSERT_TRUE(ParseClamdAddress("[fd00::5]:3310", &address, &error)) << error;
  EXPECT_EQ(address.host, "fd00::5");
  EXPECT_EQ(address.port, "3310");

  ASSERT_TRUE(ParseClamdAddress("/run/clamav/clamd.ctl", &address, &error)) << error;
  EXPECT_EQ(address.socket_path, "/run/clamav/clamd.ctl");
  EXPECT_EQ(address.text, "/run/clamav/clamd.ctl");
}

TEST(ClamdAddressTest, RefusesWhatIsNoAddress) {
  for (const char* text :
       {"", "scan1", "scan1:", ":3310", "scan1:0", "scan1:65536", "scan1:99999999999", "scan1:33a",
        "fd00::5:3310", "[fd00::5]3310", "[]:3310", "clamd.ctl"}) {
    ClamdAddress address;
    std::string error;
    EXPECT_FALSE(ParseClamdAddress(text, &address, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

class BackendSettingsTest : public testing::Test {
 protected:
  bool Load(const std::string& engine_section) {
    root_.SetEngineIni("[Infected]\r\nAction=clean\r\n\r\n[Engine]\r\n" + engine_section);
    error_.clear();
    return LoadBackendSettings(root_.install() + "/engine.ini", &settings_, &error_);
  }

  TestRoot root_;
  BackendSettings settings_;
  std::string error_;
};

TEST_F(BackendSettingsTest, LibclamavUnlessClamdIsAsked) {
  EXPECT_TRUE(LoadBackendSettings(root_.install() + "/missing.ini", &settings_, &error_));
  EXPECT_EQ(settings_.backend, EngineBackend::kLibclamav);
  ASSERT_TRUE(Load("Servers=127.0.0.1:3310\r\n")) << error_;
  EXPECT_EQ(settings_.backend, EngineBackend::kLibclamav);
  ASSERT_TRUE(Load("Backend=LibClamAV\r\n")) << error_;
  EXPECT_EQ(settings_.backend, EngineBackend::kLibclamav);
  EXPECT_EQ(settings_.temp_dir, "");
  ASSERT_TRUE(Load("TempDir=/dev/shm/vantrel-engine\r\n")) << error_;
  EXPECT_EQ(settings_.temp_dir, "/dev/shm/vantrel-engine");
}

// libclamav makes and removes a directory there for every file it scans.
TEST_F(BackendSettingsTest, ScansUseTheTemporaryDirectoryAsked) {
  const std::string temp = root_.root() + "/engine-temp/scans";
  ClamScanner scanner;
  std::string error;
  ASSERT_TRUE(scanner.Load(VT_ENGINE_SIGNATURE_DIR, "", temp, &error)) << error;
  EXPECT_TRUE(std::filesystem::is_directory(temp));
  const std::string eicar = root_.root() + "/eicar.com";
  std::ofstream(eicar) << "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
  EXPECT_EQ(scanner.ScanFile(eicar).status, ScanStatus::kInfected);
  EXPECT_TRUE(std::filesystem::is_empty(temp));
  // A path where no directory can be made refuses the start rather than scanning without.
  ClamScanner refused;
  EXPECT_FALSE(refused.Load(VT_ENGINE_SIGNATURE_DIR, "", eicar + "/below-a-file", &error));
}

TEST_F(BackendSettingsTest, ClamdWithItsServersAndSettings) {
  ASSERT_TRUE(
      Load("Backend=clamd\r\nServers=10.0.0.5:3310, [fd00::5]:3310  /run/clamd.ctl,\r\n"
           "Balance=round-robin\r\nConnectTimeoutMs=500\r\nTimeoutMs=60000\r\n"
           "RetryMs=250\r\n"))
      << error_;
  EXPECT_EQ(settings_.backend, EngineBackend::kClamd);
  ASSERT_EQ(settings_.servers.size(), 3u);
  EXPECT_EQ(settings_.servers[1].host, "fd00::5");
  EXPECT_EQ(settings_.servers[2].socket_path, "/run/clamd.ctl");
  EXPECT_EQ(settings_.pool.balance, ClamdBalance::kRoundRobin);
  EXPECT_EQ(settings_.pool.connect_timeout_ms, 500);
  EXPECT_EQ(settings_.pool.io_timeout_ms, 60000);
  EXPECT_EQ(settings_.pool.retry_ms, 250);

  ASSERT_TRUE(Load("Backend=clamd\r\nServers=10.0.0.5:3310\r\n")) << error_;
  const ClamdPoolOptions defaults;
  EXPECT_EQ(settings_.pool.balance, ClamdBalance::kLeastBusy);
  EXPECT_EQ(settings_.pool.io_timeout_ms, defaults.io_timeout_ms);
}

TEST_F(BackendSettingsTest, RefusesWhatItCannotUse) {
  for (const char* section :
       {"Backend=clamav\r\nServers=10.0.0.5:3310\r\n", "Backend=clamd\r\n",
        "Backend=clamd\r\nServers= , \r\n", "Backend=clamd\r\nServers=10.0.0.5\r\n",
        "Backend=clamd\r\nServers=10.0.0.5:3310\r\nBalance=random\r\n",
        "Backend=clamd\r\nServers=10.0.0.5:3310\r\nTimeoutMs=ten\r\n",
        "Backend=clamd\r\nServers=10.0.0.5:3310\r\nRetryMs=0\r\n",
        "Backend=clamd\r\nServers=10.0.0.5:3310\r\nConnectTimeoutMs=99999999999\r\n",
        "TempDir=relative/temp\r\n"}) {
    EXPECT_FALSE(Load(section)) << section;
    EXPECT_NE(error_.find("[Engine]"), std::string::npos) << error_;
  }
}

}  // namespace
}  // namespace vtengine
