// Installation and activation by the built pre-starter: real release files on
// nginx, a real stand-in core started from the installed slot.
#include <gtest/gtest.h>

#include "support/helper_process.h"
#include "support/release_service.h"

namespace zarvo::test {
namespace {

const std::string kInstalled =
    "Проверка обновлений\nЗагрузка приложения\nЗагрузка интерфейса\nОткрываем ZarvoLauncher\nГотово\n";

class ComponentInstallTest : public ReleaseServiceTest {
protected:
    // A release whose core starts but never confirms its first frame.
    std::string serveBrokenRelease(long long sequence) {
        writeFile(releaseDir / "broken/bin/core", "#!/bin/sh\nexit 0\n");
        std::filesystem::permissions(releaseDir / "broken/bin/core", std::filesystem::perms::owner_all);
        auto packed = runChild("/bin/tar", {"-czf", (releaseDir / "broken.tar.gz").string(), "-C",
                                            (releaseDir / "broken").string(), "bin"});
        EXPECT_EQ(packed.exitCode, 0) << packed.standardError;
        Json::Value manifest = compatibleManifest(sequence);
        publishRelease(manifest, releaseDir.path(), files.url(""), "ui-2.rcc", "ui two");
        Json::Value& core = manifest["components"]["core"];
        core["url"] = files.url("/broken.tar.gz");
        core["sha256"] = hashFile(releaseDir / "broken.tar.gz", "sha256");
        core["files"]["bin/core"] = hashFile(releaseDir / "broken/bin/core", "sha256");
        return serve(manifest);
    }
};

TEST_F(ComponentInstallTest, InstallsActivatesAndReusesAnUnchangedCore) {
    const std::string first = serveRelease(1, "ui one");
    auto installed = run();
    ASSERT_EQ(installed.exitCode, 0) << installed.standardError;
    EXPECT_EQ(installed.standardOutput, kInstalled);
    EXPECT_EQ(readFile(slotFolder(first) / "ui.rcc"), "ui one");
    EXPECT_EQ(hashFile(slotFolder(first) / "core/bin/core", "sha256"), hashFile(testCorePath(), "sha256"));
    EXPECT_TRUE(std::filesystem::exists(slotFolder(first) / "manifest.json"));
    EXPECT_EQ(state()["activeSlot"].asString(), first);
    EXPECT_EQ(state()["previousSlot"].asString(), "");
    EXPECT_EQ(state()["highestSequence"].asInt64(), 1);
    EXPECT_EQ(coreStarts(), 1u);
    EXPECT_EQ(countOf(log(), "download.begin"), 2u) << log();

    // The same answer again: the slot is installed, nothing is downloaded.
    auto again = run();
    ASSERT_EQ(again.exitCode, 0) << again.standardError;
    EXPECT_EQ(again.standardOutput, "Проверка обновлений\nОткрываем ZarvoLauncher\nГотово\n");
    EXPECT_EQ(countOf(log(), "download.begin"), 2u);
    EXPECT_EQ(coreStarts(), 2u);

    // A new release with the same core: only the interface package is fetched.
    const std::string second = serveRelease(2, "ui two");
    auto reused = run();
    ASSERT_EQ(reused.exitCode, 0) << reused.standardError;
    EXPECT_EQ(countOf(log(), "[INFO] storage.core-reused"), 1u) << log();
    EXPECT_EQ(countOf(log(), "download.begin"), 3u);
    EXPECT_TRUE(std::filesystem::equivalent(slotFolder(first) / "core/bin/core", slotFolder(second) / "core/bin/core"));
    EXPECT_EQ(readFile(slotFolder(second) / "ui.rcc"), "ui two");
    EXPECT_EQ(state()["activeSlot"].asString(), second);
    EXPECT_EQ(state()["previousSlot"].asString(), first);

    // A changed file in the active core: no reuse, the archive is downloaded
    // and extracted afresh.
    writeFile(slotFolder(second) / "core/bin/extra", "not listed");
    const std::string third = serveRelease(3, "ui three");
    auto downloaded = run();
    ASSERT_EQ(downloaded.exitCode, 0) << downloaded.standardError;
    EXPECT_EQ(countOf(log(), "[INFO] storage.core-reused"), 1u);
    EXPECT_EQ(countOf(log(), "download.begin"), 5u) << log();
    EXPECT_FALSE(std::filesystem::equivalent(slotFolder(second) / "core/bin/core", slotFolder(third) / "core/bin/core"));
    EXPECT_EQ(state()["activeSlot"].asString(), third);
    EXPECT_EQ(state()["previousSlot"].asString(), second);
    EXPECT_EQ(coreStarts(), 4u);
    // The slot that is neither active nor previous is gone.
    EXPECT_FALSE(std::filesystem::exists(slotFolder(first)));
}

TEST_F(ComponentInstallTest, FailedNewReleaseStartsThePreviousOneAndIsSkippedAfterThreeRuns) {
    const std::string first = serveRelease(1, "ui one");
    ASSERT_EQ(run().exitCode, 0);
    writeFile(dataDir() / "bootstrap-state.json",
              R"({"activeSlot":")" + first + R"(","highestSequence":1,"keptByOthers":true})");

    const std::string second = serveBrokenRelease(2);

    // Three runs try it, fall back to the version that works and end as a
    // normal start would; the failure is in the log and the state only.
    for (int runs = 1; runs <= 3; ++runs) {
        SCOPED_TRACE(runs);
        auto fellBack = run();
        EXPECT_EQ(fellBack.exitCode, 0) << fellBack.standardError;
        EXPECT_EQ(fellBack.standardError, "");
        EXPECT_TRUE(fellBack.standardOutput.ends_with("Открываем ZarvoLauncher\nВключаем совместимый режим графики\nГотово\n"))
            << fellBack.standardOutput;
        EXPECT_EQ(coreStarts(), 1u + runs);  // the first install, then each fall-back
        EXPECT_EQ(countOf(log(), "[WARN] bootstrap.rollback slot=" + second + " code=STARTUP_FAILED"),
                  static_cast<std::size_t>(runs));
        Json::Value expected = parseStrictJson(R"({"activeSlot":")" + first + R"(","highestSequence":2,"keptByOthers":true})");
        expected["failedSlot"]["slot"] = second;
        expected["failedSlot"]["runs"] = runs;
        Json::Value written = state();
        EXPECT_EQ(written["acceptedDigests"].size(), 2u);
        written.removeMember("acceptedDigests");
        EXPECT_EQ(written, expected) << readFile(dataDir() / "bootstrap-state.json");
        // The new slot stays installed, so the next run tries it again without a download.
        EXPECT_TRUE(std::filesystem::exists(slotFolder(second) / "manifest.json"));
        EXPECT_EQ(countOf(log(), "download.begin"), 4u) << log();
    }
    // The fourth run does not try it: one launch, the working version's.
    const std::size_t launches = countOf(log(), "bootstrap.launch core=");
    auto skipped = run();
    EXPECT_EQ(skipped.exitCode, 0) << skipped.standardError;
    EXPECT_EQ(countOf(log(), "[WARN] bootstrap.slot-skipped slot=" + second + " failedRuns=3"), 1u) << log();
    EXPECT_EQ(countOf(log(), "bootstrap.launch core="), launches + 1);
    EXPECT_EQ(coreStarts(), 5u);
    EXPECT_EQ(state()["activeSlot"].asString(), first);

    // Another release is tried at once, and once it comes up the failures are forgotten.
    const std::string third = serveRelease(3, "ui three");
    ASSERT_EQ(run().exitCode, 0);
    EXPECT_EQ(state()["activeSlot"].asString(), third);
    EXPECT_FALSE(state().isMember("failedSlot"));
    EXPECT_EQ(coreStarts(), 6u);

    // First installation that fails: nothing else is started.
    serveBrokenRelease(4);
    std::filesystem::remove(dataDir() / "bootstrap-state.json");
    auto alone = run();
    EXPECT_EQ(alone.exitCode, 1);
    EXPECT_EQ(alone.standardError, "Новая версия не открыла интерфейс. Восстанавливаем предыдущую.\n");
    EXPECT_FALSE(std::filesystem::exists(dataDir() / "bootstrap-state.json") && state().isMember("activeSlot"));
    EXPECT_EQ(coreStarts(), 6u);
}

TEST_F(ComponentInstallTest, APreviousReleaseThatAlsoFailsEndsTheRunWithExitOne) {
    const std::string first = serveRelease(1, "ui one");
    ASSERT_EQ(run().exitCode, 0);
    const std::string state = R"({"activeSlot":")" + first + R"(","highestSequence":2})";
    writeFile(dataDir() / "bootstrap-state.json", state);
    // The installed release's core now ends at once in both attempts.
    writeFile(dir / "core-script.json", R"({"record":")" + (dir / "core-record").string() +
                                            R"(","normal":{"action":"exit","code":2},"software":{"action":"crash"}})");
    serveBrokenRelease(2);

    auto failed = run();
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.standardError, "Новая версия не открыла интерфейс. Восстанавливаем предыдущую.\n");
    EXPECT_EQ(coreStarts(), 3u);  // the first install, then both attempts of the rollback
    // Nothing of the launch is recorded; the check kept the release's digests.
    Json::Value written = parseStrictJson(readFile(dataDir() / "bootstrap-state.json"));
    written.removeMember("acceptedDigests");
    EXPECT_EQ(writeCompactJson(written), state);
    EXPECT_TRUE(std::filesystem::exists(slotFolder(first) / "manifest.json"));
}

TEST_F(ComponentInstallTest, NoLaunchPreparesTheSlotWithoutStartingIt) {
    const std::string slot = serveRelease(1, "ui one");
    auto prepared = run({"--no-launch"});
    ASSERT_EQ(prepared.exitCode, 0) << prepared.standardError;
    EXPECT_EQ(prepared.standardOutput,
              "Проверка обновлений\nЗагрузка приложения\nЗагрузка интерфейса\nОбновление проверено и подготовлено\n");
    EXPECT_TRUE(std::filesystem::exists(slotFolder(slot) / "manifest.json"));
    EXPECT_FALSE(std::filesystem::exists(dir / "core-record"));
    EXPECT_FALSE(state().isMember("activeSlot"));
}

TEST_F(ComponentInstallTest, LeftoversOfAnInterruptedInstallAreReplacedOrCleaned) {
    const std::string slot = serveRelease(1, "ui one");
    const auto stage = dataDir() / "slots" / (slot + "-stage-0123456789abcdef0123456789abcdef");
    writeFile(stage / "core/bin/core", "half");
    writeFile(slotFolder(slot) / "core/bin/core", "half");

    // While another process holds the unfinished slot, it is left alone.
    {
        HelperProcess holder("hold", dataDir() / "slot-locks" / (slot + ".lock"));
        ASSERT_EQ(holder.readLine(), "held");
        auto busy = run();
        EXPECT_EQ(busy.exitCode, 1);
        EXPECT_EQ(busy.standardError, "Папка обновления сейчас используется\n");
        EXPECT_EQ(readFile(slotFolder(slot) / "core/bin/core"), "half");
        holder.finish();
    }

    auto installed = run();
    ASSERT_EQ(installed.exitCode, 0) << installed.standardError;
    EXPECT_EQ(hashFile(slotFolder(slot) / "core/bin/core", "sha256"), hashFile(testCorePath(), "sha256"));
    EXPECT_FALSE(std::filesystem::exists(stage));
    EXPECT_EQ(coreStarts(), 1u);
}

}  // namespace
}  // namespace zarvo::test
