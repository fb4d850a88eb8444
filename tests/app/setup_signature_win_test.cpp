// The signature check against the system's own trust API and file sharing.
// The SignedSetups cases need the signed setups and their trusted test root:
// the installer's end-to-end script makes both and runs them with
// CORVAN_SIGNED_SETUPS naming the folder; elsewhere they are skipped.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/SetupSignature.h"

namespace corvan::app {
namespace {

std::string TempDir() {
  char temp[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof temp, temp);
  return std::string(temp, n);
}

std::string OwnPath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  return path;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// A copy of this (unsigned) test program in the temporary folder.
class SetupCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = TempDir() + "corvan-signature-" + std::to_string(GetCurrentProcessId()) + ".exe";
    ASSERT_TRUE(CopyFileA(OwnPath().c_str(), path_.c_str(), FALSE));
  }
  void TearDown() override { DeleteFileA(path_.c_str()); }
  std::string path_;
};

TEST_F(SetupCopy, HeldForCheckNobodyCanChangeItButItStillStarts) {
  ScopedHandle held = OpenSetupForCheck(path_);
  ASSERT_TRUE(held);

  HANDLE writer = CreateFileA(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  const std::string moved = path_ + ".moved";
  EXPECT_FALSE(MoveFileA(path_.c_str(), moved.c_str()));
  EXPECT_FALSE(DeleteFileA(path_.c_str()));

  // Readers, and the program loader among them, are let in.
  ScopedHandle reader(CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  EXPECT_NE(reader.get(), INVALID_HANDLE_VALUE);
  if (reader.get() == INVALID_HANDLE_VALUE) reader.release();
  std::string commandLine = "\"" + path_ + "\" --gtest_list_tests";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessA(path_.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                             CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process))
      << GetLastError();
  ScopedHandle processHandle(process.hProcess), threadHandle(process.hThread);
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  EXPECT_EQ(code, 0u);

  // Released, the file is anybody's again.
  reader.reset();
  held.reset();
  EXPECT_TRUE(DeleteFileA(path_.c_str()));
}

TEST(OpenSetupForCheck, AMissingFileGivesNoHandle) {
  EXPECT_FALSE(OpenSetupForCheck(TempDir() + "corvan-no-such-setup.exe"));
}

TEST_F(SetupCopy, AnUnsignedProgramIsRefusedAsUnsigned) {
  ScopedHandle held = OpenSetupForCheck(path_);
  ASSERT_TRUE(held);
  const SignatureFacts facts = ReadSignatureFacts(held.get(), path_);
  EXPECT_EQ(facts.trustResult, trust::kNoSignature);
  EXPECT_EQ(JudgeSignature(facts), SignatureProblem::Unsigned);
}

TEST_F(SetupCopy, TextIsNoProgramToRun) {
  {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << "<html><body>Onderhoud</body></html>\n";
  }
  ScopedHandle held = OpenSetupForCheck(path_);
  ASSERT_TRUE(held);
  EXPECT_NE(JudgeSignature(ReadSignatureFacts(held.get(), path_)), SignatureProblem::None);
}

class SignedSetups : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("CORVAN_SIGNED_SETUPS", dir, sizeof dir)) {
      GTEST_SKIP() << "no signed setups (run by the installer's end-to-end script)";
    }
    dir_ = std::string(dir) + "\\";
  }

  SignatureFacts Facts(const char* name) {
    const std::string path = dir_ + name;
    ScopedHandle held = OpenSetupForCheck(path);
    EXPECT_TRUE(held) << path;
    return held ? ReadSignatureFacts(held.get(), path) : SignatureFacts{};
  }

  std::string dir_;
};

TEST_F(SignedSetups, ThePublishersSetupPasses) {
  const SignatureFacts facts = Facts("signed.exe");
  EXPECT_EQ(facts.trustResult, 0u);
  EXPECT_TRUE(facts.chainKnown);
  EXPECT_EQ(facts.signerNames, std::vector<std::u16string>{u"uvnc bvba"});
  EXPECT_TRUE(facts.signerCodeSigning);
  EXPECT_TRUE(facts.certificateTableTight);
  EXPECT_EQ(facts.fileVersion, SetupVersion(1, 5, 0, 2));  // setup_double.rc
  // openssl's SHA-1 fingerprint of the signing certificate.
  const std::string thumbprint = ReadText(dir_ + "publisher.sha1");
  EXPECT_EQ(facts.signerThumbprint, thumbprint);
  EXPECT_EQ(JudgeSignature(facts), SignatureProblem::None);
  EXPECT_EQ(JudgeSignature(facts, {u"uvnc bvba", thumbprint, kSetupMinVersion}),
            SignatureProblem::None);
}

TEST_F(SignedSetups, EachFlawedSetupIsRefusedForItsFlaw) {
  EXPECT_EQ(JudgeSignature(Facts("tampered.exe")), SignatureProblem::Invalid);
  EXPECT_EQ(JudgeSignature(Facts("unsigned.exe")), SignatureProblem::Unsigned);
  EXPECT_EQ(JudgeSignature(Facts("untrusted-root.exe")), SignatureProblem::Untrusted);
  EXPECT_EQ(JudgeSignature(Facts("no-intermediate.exe")), SignatureProblem::Untrusted);
  EXPECT_EQ(JudgeSignature(Facts("expired.exe")), SignatureProblem::Expired);
  const SignatureFacts other = Facts("other-publisher.exe");
  EXPECT_EQ(other.signerNames, std::vector<std::u16string>{u"Andere Uitgever BV"});
  EXPECT_EQ(JudgeSignature(other), SignatureProblem::WrongPublisher);
}

// Flaws Wine's trust provider lets pass (it answers S_OK for each), which
// the program finds itself.
TEST_F(SignedSetups, SecurityFlawsTheProviderPassesAreRefused) {
  const SignatureFacts lookalike = Facts("lookalike.exe");
  EXPECT_EQ(lookalike.signerNames, std::vector<std::u16string>{u"uvnc bvb\u0101"});
  EXPECT_EQ(JudgeSignature(lookalike), SignatureProblem::WrongPublisher);
  const SignatureFacts twoNames = Facts("two-names.exe");
  EXPECT_EQ(twoNames.signerNames.size(), 2u);
  EXPECT_EQ(JudgeSignature(twoNames), SignatureProblem::WrongPublisher);
  const SignatureFacts server = Facts("no-code-signing.exe");
  EXPECT_FALSE(server.signerCodeSigning);
  EXPECT_EQ(JudgeSignature(server), SignatureProblem::Invalid);
  const SignatureFacts padded = Facts("padded.exe");
  EXPECT_FALSE(padded.certificateTableTight);
  EXPECT_EQ(JudgeSignature(padded), SignatureProblem::Invalid);
  const SignatureFacts old = Facts("old.exe");
  EXPECT_EQ(old.fileVersion, SetupVersion(1, 4, 3, 5));
  EXPECT_EQ(JudgeSignature(old), SignatureProblem::TooOld);
  for (const char* name :
       {"lookalike.exe", "two-names.exe", "no-code-signing.exe", "padded.exe", "old.exe"}) {
    RecordProperty(std::string(name) + ".trustResult", std::to_string(Facts(name).trustResult));
  }
}

// Records what the trust provider itself answered, so that a change in
// Wine (or a run on Windows) shows which half of the check caught what.
TEST_F(SignedSetups, TheChainIsReadWhateverTheProviderSays) {
  for (const char* name : {"untrusted-root.exe", "no-intermediate.exe", "expired.exe"}) {
    const SignatureFacts facts = Facts(name);
    EXPECT_TRUE(facts.chainKnown) << name;
    EXPECT_NE(facts.chainErrorStatus | facts.trustResult, 0u) << name;
    RecordProperty(std::string(name) + ".trustResult", std::to_string(facts.trustResult));
    RecordProperty(std::string(name) + ".chainErrorStatus", std::to_string(facts.chainErrorStatus));
  }
}

}  // namespace
}  // namespace corvan::app
