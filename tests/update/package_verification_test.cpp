// Hostile and broken packages through the same steps a check takes after the download:
// verifyArchive, unpackArchive into the job's "unpacked" folder, verifyStagedApp.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <elf.h>
#include <gtest/gtest.h>

#include "support/result_assertions.h"
#include "update/code_signature.h"
#include "update/update_error.h"
#include "update/update_support.h"
#include "update/zip_extract.h"
#include "update_fixture.h"

namespace nimbra::test {
namespace {

namespace fs = std::filesystem;
using namespace UpdateSupport;

class PackageVerification : public UpdateFixture {
 protected:
  // Builds, zips and stages one package. `change` edits the bundle after signing,
  // `entries` edits the zip's entries, `release` the announced record.
  Status stage(std::function<void(const fs::path& bundle)> beforeSigning = {},
               std::function<void(const fs::path& bundle)> afterSigning = {},
               std::function<void(std::vector<ZipEntry>&)> entries = {},
               std::function<void(AppUpdateRelease&)> announced = {},
               const ZipExtract::Limits& limits = {}) {
    job = updates / "5B0E1F86-4A7E-4C8B-9B43-2B8E8F1D6C11";
    fs::remove_all(root / "source");
    fs::remove_all(job);
    fs::path bundle = newBundle();
    if (beforeSigning) beforeSigning(bundle);
    signer.sign(bundle);
    if (afterSigning) afterSigning(bundle);
    std::vector<ZipEntry> list = entriesOf(bundle.parent_path(), "");
    if (entries) entries(list);
    fs::create_directories(job);
    fs::path zip = job / "update.zip";
    AppUpdateRelease release = packageOf(list, zip);
    if (announced) announced(release);
    before = filesOutside(job);
    if (Status status = verifyArchive(zip, release); !status) return status;
    fs::path unpacked = job / "unpacked";
    if (Status status = ensurePrivateDirectory(unpacked); !status) return status;
    if (Status status = unpackArchive(zip, unpacked, release.format(), limits); !status) {
      unpackedRemoved = !fs::exists(unpacked);
      return status;
    }
    return verifyStagedApp(unpacked / "nimbra.app", release, running);
  }

  void expectRefused(const Status& status, const char* message) {
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().domain, "nimbraUpdate");
    EXPECT_EQ(status.error().message, message);
    EXPECT_EQ(filesOutside(job), before) << "something was written outside the job";
    // An absolute entry names this test's own folder: /tmp is shared with other programs.
    EXPECT_FALSE(fs::exists(root / "escaped"));
  }

  static ZipEntry entry(std::string name, std::string content, unsigned mode = 0644) {
    return ZipEntry{std::move(name), ZipEntry::Type::file, mode, std::move(content)};
  }
  static ZipEntry link(std::string name, std::string target) {
    return ZipEntry{std::move(name), ZipEntry::Type::link, 0777, std::move(target)};
  }

  fs::path job;
  std::set<std::string> before;
  bool unpackedRemoved = false;
};

TEST_F(PackageVerification, AGoodPackageIsStagedWithItsModes) {
  Status status = stage([](const fs::path& bundle) {
    fs::create_symlink("Resources/index.html", bundle / "Contents" / "page");
  });
  ASSERT_OK(status);
  fs::path staged = job / "unpacked" / "nimbra.app";
  EXPECT_EQ(fs::status(staged / "Contents/bin/nimbra").permissions() & fs::perms::all,
            fs::perms(0755));
  EXPECT_EQ(fs::read_symlink(staged / "Contents/page"), "Resources/index.html");
}

TEST_F(PackageVerification, ALegacyUnhashedSignatureIsAccepted) {
  fs::path bundle = newBundle("legacy");
  signer.sign(bundle, /*prehashed=*/false);
  EXPECT_EQ(CodeSignature::signingTeam(bundle).value(),
            CodeSignature::signingTeam(running.bundle).value());
}

TEST_F(PackageVerification, PackageProblemsAreRefusedBeforeExtraction) {
  expectRefused(stage({}, {}, {}, [](AppUpdateRelease& r) { ++r.size; }), kSizeOrPlatform);
  expectRefused(stage({}, {}, {}, [](AppUpdateRelease& r) { r.platform = "macos"; }),
                kSizeOrPlatform);
  expectRefused(stage({}, {}, {}, [](AppUpdateRelease& r) { r.sha256[0] ^= 1; }), kDigestMismatch);
  expectRefused(stage({}, {}, {}, [](AppUpdateRelease& r) { r.packageFormat = "dmg"; }),
                kUnsupportedFormat);
}

TEST_F(PackageVerification, AnUpperCaseDigestOfTheRightFilePasses) {
  Status status = stage({}, {}, {}, [](AppUpdateRelease& r) {
    for (char& c : r.sha256) c = static_cast<char>(std::toupper(c));
  });
  EXPECT_OK(status);
}

TEST_F(PackageVerification, EntriesReachingOutsideAreRefusedAndTheFolderRemoved) {
  auto add = [](ZipEntry extra) {
    return [extra](std::vector<ZipEntry>& list) { list.push_back(extra); };
  };
  expectRefused(stage({}, {}, add(entry("../x", "escape"))), kToolFailed);
  EXPECT_TRUE(unpackedRemoved);
  expectRefused(stage({}, {}, add(entry((root / "escaped").string(), "escape"))), kToolFailed);
  expectRefused(stage({}, {}, add(entry("nimbra.app/a/../../../x", "escape"))), kToolFailed);
  expectRefused(stage({}, {}, add(link("nimbra.app/Contents/lib", "/usr/lib"))), kLinkOutside);
  expectRefused(stage({}, {}, add(link("nimbra.app/Contents/up", "../../.."))), kLinkOutside);
  expectRefused(stage({}, {}, add(entry("nimbra.app/Contents/bin/su", "x", 04755))), kToolFailed);
  expectRefused(stage({}, {}, add(entry("nimbra.app/Contents/bin/sg", "x", 02755))), kToolFailed);
}

TEST_F(PackageVerification, ALinkThenAWriteThroughItIsRefused) {
  expectRefused(stage({}, {},
                      [](std::vector<ZipEntry>& list) {
                        list.push_back(link("nimbra.app/Contents/out", "Resources"));
                        list.push_back(entry("nimbra.app/Contents/out/../../../../x", "x"));
                      }),
                kToolFailed);
}

TEST_F(PackageVerification, AZipBombStopsAtTheByteCap) {
  ZipExtract::Limits small{.maxBytes = 1 << 20, .maxEntries = 100};
  expectRefused(stage(
                    {}, {},
                    [](std::vector<ZipEntry>& list) {
                      list.push_back(entry("nimbra.app/zeros", std::string(4 << 20, '\0')));
                    },
                    {}, small),
                kToolFailed);
  EXPECT_TRUE(unpackedRemoved);
  ZipExtract::Limits few{.maxBytes = 1 << 30, .maxEntries = 5};
  expectRefused(stage({}, {}, {}, {}, few), kToolFailed);
}

// Each refusal of the extraction on its own, as the archive declares the entry (a zip read
// by libarchive never declares a hard link, so only this reaches that rule).
TEST(ZipEntryAdmission, EachRuleRefusesOnItsOwn) {
  using ZipExtract::EntryHeader;
  struct Case {
    EntryHeader header;
    const char* refusal;  // null: admitted
  };
  auto header = [](std::string_view name, mode_t type, mode_t mode, std::string_view target,
                   bool hardLink) {
    return EntryHeader{
        .name = name, .type = type, .mode = mode, .hardLink = hardLink, .linkTarget = target};
  };
  const Case cases[] = {
      {header("nimbra.app/Contents/bin/nimbra", S_IFREG, 0755, "", false), nullptr},
      {header("nimbra.app/Contents/", S_IFDIR, 0755, "", false), nullptr},
      {header("nimbra.app/Contents/page", S_IFLNK, 0, "Resources/i", false), nullptr},
      {header("nimbra.app/a/b", S_IFLNK, 0, "../../x", false), nullptr},
      {header("nimbra.app/a/b", S_IFLNK, 0, "../../../x", false), kLinkOutside},
      {header("nimbra.app/lib", S_IFLNK, 0, "/usr/lib", false), kLinkOutside},
      {header("nimbra.app/again", S_IFREG, 0, "", true), kToolFailed},
      {header("nimbra.app/su", S_IFREG, 04755, "", false), kToolFailed},
      {header("nimbra.app/sg", S_IFREG, 02755, "", false), kToolFailed},
      {header("nimbra.app/fifo", S_IFIFO, 0644, "", false), kToolFailed},
      {header("nimbra.app/dev", S_IFCHR, 0644, "", false), kToolFailed},
      {header("/etc/x", S_IFREG, 0644, "", false), kToolFailed},
      {header("nimbra.app/../x", S_IFREG, 0644, "", false), kToolFailed},
      {header("", S_IFREG, 0644, "", false), kToolFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.header.name) + " -> " + std::string(c.header.linkTarget));
    Result<std::vector<std::string_view>> parts = ZipExtract::admit(c.header);
    if (c.refusal == nullptr) {
      EXPECT_OK(parts);
    } else {
      ASSERT_FALSE(parts.ok());
      EXPECT_EQ(parts.error().message, c.refusal);
    }
  }
}

// The check of the staged bundle on its own: links made after extraction (a chain of links,
// each harmless by its text) are resolved and must stay inside.
TEST_F(PackageVerification, TheStagedBundlesLinksAreResolvedBeforeAnythingIsRead) {
  fs::path bundle = newBundle("staged");
  signer.sign(bundle);
  AppUpdateRelease release = packageOf(entriesOf(bundle.parent_path(), ""), root / "p.zip");
  fs::path contents = bundle / "Contents";
  fs::create_symlink("../..", contents / "Resources" / "up");
  fs::create_symlink("Resources/up/..", contents / "out");
  Status status = verifyStagedApp(bundle, release, running);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, kLinkOutside);
  fs::remove(contents / "out");
  fs::remove(contents / "Resources" / "up");
  EXPECT_OK(verifyStagedApp(bundle, release, running));
}

// The cap counts the bytes actually written, not only what the headers declare.
TEST_F(PackageVerification, AnUnderstatedEntryStopsAtTheByteCap) {
  fs::create_directories(root / "lying");
  fs::path zip = root / "lying" / "update.zip";
  writeZip(zip, {entry("nimbra.app/zeros", std::string(4 << 20, '\0'))});
  understateSizes(zip, 16);
  fs::path destination = root / "lying" / "unpacked";
  fs::create_directories(destination);
  Status status = ZipExtract::extract(zip, destination, {.maxBytes = 1 << 20, .maxEntries = 10});
  ASSERT_FALSE(status.ok());
  std::error_code ignored;
  EXPECT_LE(fs::file_size(destination / "nimbra.app" / "zeros", ignored), uintmax_t{1} << 20);
}

TEST_F(PackageVerification, ThePackageMayUnpackToASmallMultipleOfItsAnnouncedSize) {
  AppUpdateRelease release;
  release.size = 1500000;
  EXPECT_EQ(unpackLimits(release).maxBytes, 1500000u * kMaxUnpackFactor);
  release.size = 26214400;
  EXPECT_EQ(unpackLimits(release, {.maxBytes = 100, .maxEntries = 1}).maxBytes, 100u);
}

TEST_F(PackageVerification, NoFolderOrFileIsLeftWritableByOthersWhateverTheZipSays) {
  Status status = stage({}, {}, [](std::vector<ZipEntry>& list) {
    for (ZipEntry& e : list) e.mode |= e.type == ZipEntry::Type::link ? 0 : 0022;
  });
  ASSERT_OK(status);
  fs::path staged = job / "unpacked" / "nimbra.app";
  size_t folders = 0;
  for (const auto& item : fs::recursive_directory_iterator(staged)) {
    if (item.is_symlink()) continue;
    folders += item.is_directory();
    EXPECT_EQ(item.status().permissions() & (fs::perms::group_write | fs::perms::others_write),
              fs::perms::none)
        << item.path();
  }
  EXPECT_GE(folders, 3u);
  EXPECT_EQ(fs::status(staged).permissions() & fs::perms::others_write, fs::perms::none);
}

TEST_F(PackageVerification, AFolderMissingOrAddedAfterSigningIsRefused) {
  expectRefused(stage({},
                      [](const fs::path& bundle) {
                        fs::create_directory(bundle / "Contents" / "Resources" / "extra");
                      }),
                kSignatureInvalid);
  expectRefused(
      stage(
          [](const fs::path& bundle) {
            fs::create_directory(bundle / "Contents" / "Resources" / "empty");
          },
          [](const fs::path& bundle) { fs::remove(bundle / "Contents" / "Resources" / "empty"); }),
      kSignatureInvalid);
}

TEST_F(PackageVerification, IdentityMismatchesAreRefused) {
  expectRefused(stage({}, {},
                      [](std::vector<ZipEntry>& list) {
                        for (ZipEntry& e : list) e.name.replace(0, 10, "other.app");
                      }),
                kIdentityMismatch);
  auto withValues = [this](std::function<void(BundleValues&)> edit) {
    return [edit](const fs::path& bundle) {
      BundleValues values = *Bundle::readValues(bundle);
      edit(values);
      makeBundle(bundle.parent_path(), values, elfExecutable(EM_X86_64));
    };
  };
  expectRefused(stage(withValues([](BundleValues& v) { v.identifier = "com.other"; })),
                kIdentityMismatch);
  expectRefused(stage(withValues([](BundleValues& v) { v.executable = "other"; })),
                kIdentityMismatch);
  expectRefused(stage(withValues([](BundleValues& v) { v.shortVersion = "1.2.0"; })),
                kIdentityMismatch);
  expectRefused(stage(withValues([](BundleValues& v) { v.version = "102"; })), kIdentityMismatch);
  expectRefused(stage(withValues([](BundleValues& v) { v.version = "10x"; })), kIdentityMismatch);
  expectRefused(stage(withValues([](BundleValues& v) { v.minimumSystem = "2.18"; })),
                kIdentityMismatch);
  expectRefused(stage({}, {}, {}, [](AppUpdateRelease& r) { r.architecture = "riscv64"; }),
                kIdentityMismatch);
}

TEST_F(PackageVerification, ANewerMinimumSystemOrAnotherMachineIsRefused) {
  auto minimum = [](const char* text) {
    return [text](const fs::path& bundle) {
      BundleValues values = *Bundle::readValues(bundle);
      values.minimumSystem = text;
      makeBundle(bundle.parent_path(), values, elfExecutable(EM_X86_64));
    };
  };
  auto announce = [](const char* text) {
    return [text](AppUpdateRelease& r) { r.minSystemVersion = text; };
  };
  expectRefused(stage(minimum("99.0"), {}, {}, announce("99.0")), kSystemTooOld);
  expectRefused(stage(minimum("2"), {}, {}, announce("2")), kSystemTooOld);
  auto executable = [](std::function<void(std::string&)> edit) {
    return [edit](const fs::path& bundle) {
      std::string bytes = elfExecutable(EM_X86_64);
      edit(bytes);
      writeText(Bundle::executable(bundle), bytes, 0755);
    };
  };
  for (auto edit : std::vector<std::function<void(std::string&)>>{
           [](std::string& b) { b = elfExecutable(EM_AARCH64); },
           [](std::string& b) { b[EI_DATA] = ELFDATA2MSB; },
           [](std::string& b) { b[EI_CLASS] = ELFCLASS32; },
           [](std::string& b) { b[0] = 'X'; },
           [](std::string& b) { b.resize(40); },
       }) {
    expectRefused(stage(executable(edit)), kWrongArchitecture);
  }
}

TEST_F(PackageVerification, SignatureProblemsAreRefused) {
  expectRefused(
      stage({},
            [](const fs::path& bundle) { fs::remove_all(Bundle::codeSignatureFolder(bundle)); }),
      kSignatureInvalid);
  expectRefused(stage({},
                      [](const fs::path& bundle) {
                        writeText(bundle / "Contents/Resources/index.html", "<p>changed</p>");
                      }),
                kSignatureInvalid);
  expectRefused(stage({},
                      [](const fs::path& bundle) {
                        writeText(bundle / "Contents/Resources/extra.js", "alert(1)");
                      }),
                kSignatureInvalid);
  expectRefused(stage({},
                      [](const fs::path& bundle) {
                        fs::permissions(Bundle::executable(bundle), fs::perms(0700));
                      }),
                kSignatureInvalid);
  TestSigner other;
  expectRefused(stage({}, [&other](const fs::path& bundle) { other.sign(bundle); }),
                kSignerChanged);
}

TEST_F(PackageVerification, ASignatureOfAnotherVersionIsRefused) {
  TestSigner* sameSigner = &signer;
  expectRefused(stage({},
                      [sameSigner](const fs::path& bundle) {
                        sameSigner->sign(bundle, true, "com.zuvo.devicecenter 1.0.0 (100)");
                      }),
                kSignatureInvalid);
}

TEST_F(PackageVerification, AFreshKeyCarryingTheRunningKeyIdIsAnotherSigner) {
  TestSigner forger(signer.keyIdBytes());
  ASSERT_EQ(forger.keyId(), signer.keyId());
  for (bool prehashed : {true, false}) {
    SCOPED_TRACE(prehashed ? "ED" : "Ed");
    expectRefused(
        stage({}, [&forger, prehashed](const fs::path& bundle) { forger.sign(bundle, prehashed); }),
        kSignerChanged);
    // Its own signature is sound: only the anchor tells it apart.
    EXPECT_OK(CodeSignature::signingTeam(job / "unpacked" / "nimbra.app"));
  }
}

TEST_F(PackageVerification, TheRunningKeyLineWithAnotherKeysSignatureIsInvalid) {
  TestSigner other;
  fs::path installedKey = Bundle::codeSignatureFolder(running.bundle) / "minisign.pub";
  expectRefused(stage({},
                      [&](const fs::path& bundle) {
                        other.sign(bundle);
                        fs::copy_file(installedKey,
                                      Bundle::codeSignatureFolder(bundle) / "minisign.pub",
                                      fs::copy_options::overwrite_existing);
                      }),
                kSignatureInvalid);
}

TEST_F(PackageVerification, TheTeamIsDerivedFromTheWholeKey) {
  TestSigner forger(signer.keyIdBytes());
  fs::path forged = newBundle("forged");
  forger.sign(forged);
  std::string team = CodeSignature::signingTeam(running.bundle).value();
  EXPECT_TRUE(team.starts_with(signer.keyId()));
  EXPECT_EQ(team.size(), 16u + 64u);
  EXPECT_NE(CodeSignature::signingTeam(forged).value(), team);
}

// Release N (signed by the old key) lists the new key; N+1 is signed by the new key alone;
// N+2 is signed by the old key again and is accepted by N+1 only if N+1 lists that key.
TEST_F(PackageVerification, ASignerRotatesThroughTheKeysTheRunningBundleLists) {
  TestSigner next;
  listUpdateKeys(running.bundle, {next.keyLine()});
  signer.sign(running.bundle);
  running = RunningApp{running.bundle, true, *Bundle::readValues(running.bundle)};
  TestSigner* nextSigner = &next;
  ASSERT_OK(stage({}, [nextSigner](const fs::path& b) { nextSigner->sign(b); }));

  struct Case {
    bool listsOldKey;
    const char* expected;  // null: accepted
  };
  for (const Case& c : {Case{false, kSignerChanged}, Case{true, nullptr}}) {
    SCOPED_TRACE(c.listsOldKey);
    fs::path installed =
        makeBundle(root / "n1", goodValues("1.1.0", "101"), elfExecutable(EM_X86_64));
    if (c.listsOldKey) listUpdateKeys(installed, {signer.keyLine()});
    next.sign(installed);
    RunningApp n1{installed, true, *Bundle::readValues(installed)};
    fs::path n2 = makeBundle(root / "n2", goodValues("1.2.0", "102"), elfExecutable(EM_X86_64));
    signer.sign(n2);
    AppUpdateRelease release = packageOf(entriesOf(n2.parent_path(), ""), root / "n2.zip");
    release.version = "1.2.0";
    release.build = 102;
    Status status = verifyStagedApp(n2, release, n1);
    if (c.expected == nullptr) {
      EXPECT_OK(status);
    } else {
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(status.error().message, c.expected);
    }
    fs::remove_all(root / "n1");
    fs::remove_all(root / "n2");
  }
}

// Only a program running from a real, validly self-signed "nimbra.app" folder has anchors.
TEST_F(PackageVerification, OnlyASignedBundleFolderMayInstall) {
  auto expectNone = [](const RunningApp& app, const char* what) {
    Result<std::optional<CodeSignature::TrustAnchors>> anchors = CodeSignature::trustAnchors(app);
    ASSERT_OK(anchors) << what;
    EXPECT_FALSE(anchors->has_value()) << what;
  };
  Result<std::optional<CodeSignature::TrustAnchors>> good = CodeSignature::trustAnchors(running);
  ASSERT_OK(good);
  ASSERT_TRUE(good->has_value());
  EXPECT_EQ((*good)->keys.size(), 1u);

  expectNone(RunningApp::forExecutable(root / "build" / "src" / "nimbra"), "build tree");
  fs::path linked = root / "linked" / "nimbra.app";
  fs::create_directories(linked.parent_path());
  fs::create_symlink(running.bundle, linked);
  expectNone(RunningApp{linked, true, running.values}, "linked bundle");
  fs::path renamed = root / "renamed" / "other.app";
  fs::create_directories(renamed.parent_path());
  fs::copy(running.bundle, renamed, fs::copy_options::recursive);
  expectNone(RunningApp{renamed, true, running.values}, "another name");
  writeText(running.bundle / "Contents" / "Resources" / "added.js", "1");
  expectNone(running, "tampered");
  fs::remove_all(Bundle::codeSignatureFolder(running.bundle));
  expectNone(running, "unsigned");

  fs::path listing = makeBundle(root / "listing", goodValues("1.0.0", "100"), "x");
  listUpdateKeys(listing, {"not a key"});
  signer.sign(listing);
  Result<std::optional<CodeSignature::TrustAnchors>> bad =
      CodeSignature::trustAnchors(RunningApp{listing, true, *Bundle::readValues(listing)});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, kSigningInfoUnavailable);
}

TEST_F(PackageVerification, AStagedBundleThatIsALinkOrHasLinkedPartsIsRefused) {
  auto linkApp = [](std::vector<ZipEntry>& list) {
    for (ZipEntry& e : list) e.name.replace(0, 10, "real.app");
    list.push_back(link("nimbra.app", "real.app"));
  };
  expectRefused(stage({}, {}, linkApp), kNoAppInPackage);
  auto linkInfo = [](std::vector<ZipEntry>& list) {
    std::erase_if(list,
                  [](const ZipEntry& e) { return e.name == "nimbra.app/Contents/Info.json"; });
    list.push_back(entry("nimbra.app/Contents/real.json", "{}"));
    list.push_back(link("nimbra.app/Contents/Info.json", "real.json"));
  };
  expectRefused(stage({}, {}, linkInfo), kIdentityMismatch);
}

}  // namespace
}  // namespace nimbra::test
