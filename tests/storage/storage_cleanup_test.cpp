// Storage cleanup on real folders: what is stale by name, what the slot and
// download locks of a real second process keep, links never followed, and
// failures that become log lines instead of failing the run.
#include "storage/storage_cleanup.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "log/logger.h"
#include "storage/installed_bootstrap.h"
#include "storage/path_guard.h"
#include "support/expect_error.h"
#include "support/helper_process.h"
#include "support/temp_dir.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using test::HelperProcess;
using test::readFile;
using test::TempDir;
using test::writeFile;

const std::string kActive = "0123456789abcdef01234567";
const std::string kPrevious = "89abcdef0123456789abcdef";
const std::string kStale = "aaaaaaaaaaaaaaaaaaaaaaaa";
const std::string kOtherStale = "bbbbbbbbbbbbbbbbbbbbbbbb";
const std::string kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kOtherDigest = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

Json::Value stateOf(const std::string& active, const std::string& previous) {
    Json::Value state(Json::objectValue);
    state["activeSlot"] = active;
    state["previousSlot"] = previous;
    state["highestSequence"] = 7;
    return state;
}

// Every test has its own data directory and its own log, in debug mode so
// that deferred deletions are visible.
class StorageCleanupTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(data_);
        configureLog(dir_ / "logs/bootstrap.log", true);
    }

    fs::path slot(const std::string& name) const { return data_ / "slots" / name; }
    // A slot folder as the installer leaves it.
    void makeSlot(const std::string& name) const {
        writeFile(slot(name) / "manifest.json", "{}");
        writeFile(slot(name) / "core/bin/core", "program");
        writeFile(slot(name) / "ui.rcc", "ui");
    }
    // The cleanup lines of the log, without their time and level.
    std::vector<std::string> cleanupLines() const {
        std::vector<std::string> lines;
        std::error_code ignored;
        if (!fs::exists(dir_ / "logs/bootstrap.log", ignored)) {
            return lines;
        }
        std::istringstream in(readFile(dir_ / "logs/bootstrap.log"));
        for (std::string line; std::getline(in, line);) {
            auto at = line.find("storage.cleanup");
            if (at != std::string::npos) {
                lines.push_back(line.substr(line.find('[')));
            }
        }
        return lines;
    }

    TempDir dir_;
    const fs::path data_ = dir_ / "data";
};

TEST_F(StorageCleanupTest, RemovesStaleSlotsAndStageFoldersByNameOnly) {
    makeSlot(kActive);
    makeSlot(kPrevious);
    makeSlot(kStale);
    makeSlot(kActive + "-stage-0123456789abcdef0123456789abcdef");  // of the active slot, still stale
    makeSlot(kStale + "-stage-x");                                  // any suffix of one character or more
    writeFile(slot(kOtherStale), "a file of slot form");
    const std::vector<std::string> kept = {
        "AAAAAAAAAAAAAAAAAAAAAAAA",          // upper-case hex
        "0123456789ABCDEF01234567",          // partly upper-case
        kStale + "a",                        // 25 characters
        kStale.substr(0, 23),                // 23 characters
        kStale + "-stage-",                  // no suffix
        kStale + "-Stage-x",                 // not the infix
        "aaaaaaaaaaaaaaaaaaaaaaag-stage-x",  // not hex
        "notes",
    };
    for (const std::string& name : kept) {
        makeSlot(name);
    }
    writeFile(data_ / "profiles/main/profile.lock", "");

    cleanupStorage(data_, stateOf(kActive, kPrevious));

    EXPECT_TRUE(fs::exists(slot(kActive) / "core/bin/core"));
    EXPECT_TRUE(fs::exists(slot(kPrevious) / "ui.rcc"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(slot(kStale))));
    EXPECT_FALSE(fs::exists(fs::symlink_status(slot(kActive + "-stage-0123456789abcdef0123456789abcdef"))));
    EXPECT_FALSE(fs::exists(fs::symlink_status(slot(kStale + "-stage-x"))));
    EXPECT_FALSE(fs::exists(fs::symlink_status(slot(kOtherStale))));
    for (const std::string& name : kept) {
        EXPECT_TRUE(fs::exists(slot(name) / "manifest.json")) << name;
    }
    // Lock files stay; other folders are not visited.
    EXPECT_TRUE(fs::is_regular_file(data_ / "slot-locks" / (kStale + ".lock")));
    EXPECT_FALSE(fs::exists(data_ / "slot-locks" / (kActive + ".lock")));
    EXPECT_TRUE(fs::exists(data_ / "profiles/main/profile.lock"));
    EXPECT_TRUE(cleanupLines().empty());

    // An absent previous slot reads as empty: only the active one is kept.
    cleanupStorage(data_, stateOf(kActive, ""));
    EXPECT_TRUE(fs::exists(slot(kActive)));
    EXPECT_FALSE(fs::exists(slot(kPrevious)));
}

TEST_F(StorageCleanupTest, SlotInUseByAnotherProcessIsKeptSilently) {
    makeSlot(kActive);
    makeSlot(kStale);
    makeSlot(kStale + "-stage-0123456789abcdef0123456789abcdef");
    {
        HelperProcess core("hold", data_ / "slot-locks" / (kStale + ".lock"));
        ASSERT_EQ(core.readLine(), "held");
        HelperProcess installer("hold",
                                data_ / "slot-locks" / (kStale + "-stage-0123456789abcdef0123456789abcdef.lock"));
        ASSERT_EQ(installer.readLine(), "held");
        cleanupStorage(data_, stateOf(kActive, ""));
        EXPECT_TRUE(fs::exists(slot(kStale) / "core/bin/core"));
        EXPECT_TRUE(fs::exists(slot(kStale + "-stage-0123456789abcdef0123456789abcdef") / "ui.rcc"));
        EXPECT_TRUE(cleanupLines().empty());
        EXPECT_EQ(core.finish(), 0);
        EXPECT_EQ(installer.finish(), 0);
    }
    // Once the holders are gone, the next cleanup removes them.
    cleanupStorage(data_, stateOf(kActive, ""));
    EXPECT_FALSE(fs::exists(slot(kStale)));
    EXPECT_FALSE(fs::exists(slot(kStale + "-stage-0123456789abcdef0123456789abcdef")));
}

TEST_F(StorageCleanupTest, LinksAreNeverFollowedAndOnlyDeferTheirEntry) {
    writeFile(dir_ / "outside/precious/file", "keep");
    makeSlot(kActive);
    makeSlot(kStale);
    fs::create_directory_symlink(dir_ / "outside/precious", slot(kStale) / "core/linked");
    fs::create_symlink(dir_ / "outside/precious/file", slot(kStale) / "ui-link.rcc");
    fs::create_directory_symlink(dir_ / "outside/precious", slot(kOtherStale));
    makeSlot("cccccccccccccccccccccccc");

    cleanupStorage(data_, stateOf(kActive, ""));

    EXPECT_EQ(readFile(dir_ / "outside/precious/file"), "keep");
    // The tree with links inside is left whole: it is checked before anything goes.
    EXPECT_TRUE(fs::exists(slot(kStale) / "core/bin/core"));
    EXPECT_TRUE(fs::exists(slot(kStale) / "manifest.json"));
    EXPECT_TRUE(fs::is_symlink(slot(kOtherStale)));
    // The other stale slot is still processed.
    EXPECT_FALSE(fs::exists(slot("cccccccccccccccccccccccc")));
    std::vector<std::string> lines = cleanupLines();
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines) {
        EXPECT_TRUE(line.starts_with("[DEBUG] storage.cleanup-deferred ")) << line;
        EXPECT_NE(line.find("Ссылка в защищённой папке: "), std::string::npos) << line;
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "[DEBUG] storage.cleanup-deferred " + slot(kOtherStale).generic_string() +
                            " Ссылка в защищённой папке: " + slot(kOtherStale).string()),
              lines.end());

    // Directly, the same refusal is an error naming the first link the walk met.
    try {
        removeWithinStorage(data_, slot(kStale));
        ADD_FAILURE() << "a tree with links was removed";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), "GUARD_UNSAFE_PATH");
        const std::string message = error.what();
        EXPECT_TRUE(message == "Ссылка в защищённой папке: " + (slot(kStale) / "core/linked").string() ||
                    message == "Ссылка в защищённой папке: " + (slot(kStale) / "ui-link.rcc").string())
            << message;
    }
    EXPECT_EQ(readFile(dir_ / "outside/precious/file"), "keep");
}

TEST_F(StorageCleanupTest, ALinkedFolderStopsTheCleanupBeforeAnythingIsDeleted) {
    writeFile(dir_ / "outside/slots" / kStale / "manifest.json", "{}");
    fs::create_directory_symlink(dir_ / "outside/slots", data_ / "slots");
    writeFile(data_ / "downloads" / kDigest, "archive");

    cleanupStorage(data_, stateOf(kActive, ""));

    EXPECT_TRUE(fs::exists(dir_ / "outside/slots" / kStale / "manifest.json"));
    EXPECT_TRUE(fs::exists(data_ / "downloads" / kDigest));
    EXPECT_EQ(cleanupLines(), std::vector<std::string>{"[WARN] storage.cleanup Ссылка в защищённой папке: " +
                                                       (data_ / "slots").string()});
}

TEST_F(StorageCleanupTest, AStateThatCannotNameTheSlotsInUseDeletesNoSlot) {
    makeSlot(kActive);
    makeSlot(kStale);
    writeFile(data_ / "downloads" / kDigest, "archive");

    // A number where the name belongs: neither kept nor guessed.
    Json::Value numeric = stateOf(kActive, "");
    numeric["activeSlot"] = 12345;
    cleanupStorage(data_, numeric);
    Json::Value listed = stateOf(kActive, "");
    listed["previousSlot"] = Json::Value(Json::arrayValue);
    cleanupStorage(data_, listed);
    cleanupStorage(data_, Json::Value(Json::arrayValue));
    EXPECT_TRUE(fs::exists(slot(kActive)));
    EXPECT_TRUE(fs::exists(slot(kStale)));
    EXPECT_TRUE(fs::exists(data_ / "downloads" / kDigest));
    EXPECT_EQ(cleanupLines(), (std::vector<std::string>{
                                  "[WARN] storage.cleanup Некорректное состояние обновления: activeSlot",
                                  "[WARN] storage.cleanup Некорректное состояние обновления: previousSlot",
                                  "[WARN] storage.cleanup Некорректное состояние обновления",
                              }));

    // No state at all, or no active slot in it: the slots stay, the rest is cleaned.
    cleanupStorage(data_, Json::Value());
    Json::Value withoutActive(Json::objectValue);
    withoutActive["previousSlot"] = kActive;
    cleanupStorage(data_, withoutActive);
    EXPECT_TRUE(fs::exists(slot(kActive)));
    EXPECT_TRUE(fs::exists(slot(kStale)));
    EXPECT_FALSE(fs::exists(data_ / "downloads" / kDigest));
    EXPECT_EQ(cleanupLines().size(), 3u);
}

TEST_F(StorageCleanupTest, DownloadsGoUnlessAnotherProcessIsDownloadingThem) {
    const fs::path downloads = data_ / "downloads";
    writeFile(downloads / kDigest, "finished");
    writeFile(downloads / (kDigest + ".part"), "partial");
    writeFile(downloads / (kDigest + ".lock"), "");
    writeFile(downloads / (kOtherDigest + ".part"), "being written");
    const std::vector<std::string> kept = {
        kDigest.substr(0, 63),
        kDigest + "0",
        "0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef",
        kDigest + ".tmp",
        kDigest + ".part.part",
        kDigest + ".PART",
        "readme",
    };
    for (const std::string& name : kept) {
        writeFile(downloads / name, "other");
    }
    fs::create_directories(downloads / kOtherDigest.substr(0, 63) / "x");

    HelperProcess downloader("hold", downloads / (kOtherDigest + ".lock"));
    ASSERT_EQ(downloader.readLine(), "held");
    cleanupStorage(data_, stateOf(kActive, ""));

    EXPECT_FALSE(fs::exists(downloads / kDigest));
    EXPECT_FALSE(fs::exists(downloads / (kDigest + ".part")));
    EXPECT_TRUE(fs::is_regular_file(downloads / (kDigest + ".lock")));
    EXPECT_EQ(readFile(downloads / (kOtherDigest + ".part")), "being written");
    for (const std::string& name : kept) {
        EXPECT_TRUE(fs::exists(downloads / name)) << name;
    }
    EXPECT_TRUE(cleanupLines().empty());

    EXPECT_EQ(downloader.finish(), 0);
    cleanupStorage(data_, stateOf(kActive, ""));
    EXPECT_FALSE(fs::exists(downloads / (kOtherDigest + ".part")));
    EXPECT_TRUE(fs::is_regular_file(downloads / (kOtherDigest + ".lock")));
}

TEST_F(StorageCleanupTest, SelfUpdateLeftoversGoAndTheInstalledCopyStays) {
    const fs::path bootstrap = data_ / "bootstrap";
    writeFile(bootstrap / "update-0123456789abcdef01234567/bin/zarvo", "new");
    writeFile(bootstrap / "candidate-0123456789abcdef0123456789abcdef/bin/zarvo", "copy");
    writeFile(bootstrap / "previous-0123456789abcdef0123456789abcdef/bin/zarvo", "old");
    writeFile(bootstrap / "update-", "bare prefix");
    const std::vector<std::string> kept = {"current/bin/zarvo", "Update-x", "updates", "previous", "candidate.txt"};
    for (const std::string& name : kept) {
        writeFile(bootstrap / name, "keep");
    }

    cleanupStorage(data_, stateOf(kActive, ""));

    EXPECT_FALSE(fs::exists(bootstrap / "update-0123456789abcdef01234567"));
    EXPECT_FALSE(fs::exists(bootstrap / "candidate-0123456789abcdef0123456789abcdef"));
    EXPECT_FALSE(fs::exists(bootstrap / "previous-0123456789abcdef0123456789abcdef"));
    EXPECT_FALSE(fs::exists(bootstrap / "update-"));
    for (const std::string& name : kept) {
        EXPECT_EQ(readFile(bootstrap / name), "keep") << name;
    }
    EXPECT_TRUE(cleanupLines().empty());
}

// Without "current" the previous installation is the only whole one: it stays
// until a start puts it back, and then goes like any other leftover.
TEST_F(StorageCleanupTest, APreviousInstallationStaysWhileNoneIsCurrentAndIsPutBack) {
    const fs::path bootstrap = data_ / "bootstrap";
    writeFile(bootstrap / "previous-00/bin/zarvo", "older");
    writeFile(bootstrap / "previous-11/bin/zarvo", "newest");
    writeFile(bootstrap / "candidate-22/bin/zarvo", "half");
    fs::last_write_time(bootstrap / "previous-00", fs::last_write_time(bootstrap / "previous-11") - std::chrono::hours(1));

    cleanupStorage(data_, stateOf(kActive, ""));
    EXPECT_TRUE(fs::exists(bootstrap / "previous-00"));
    EXPECT_TRUE(fs::exists(bootstrap / "previous-11"));
    EXPECT_FALSE(fs::exists(bootstrap / "candidate-22"));

    {
        // A busy update lock is a hand-over at work: nothing is moved.
        HelperProcess other("hold", data_ / "bootstrap.lock");
        ASSERT_EQ(other.readLine(), "held");
        EXPECT_FALSE(restoreInstalledBootstrap(data_));
        EXPECT_EQ(other.finish(), 0);
    }
    EXPECT_FALSE(fs::exists(bootstrap / "current"));
    EXPECT_TRUE(restoreInstalledBootstrap(data_));
    EXPECT_EQ(readFile(bootstrap / "current/bin/zarvo"), "newest");
    EXPECT_FALSE(restoreInstalledBootstrap(data_));

    cleanupStorage(data_, stateOf(kActive, ""));
    EXPECT_FALSE(fs::exists(bootstrap / "previous-00"));
    EXPECT_EQ(readFile(bootstrap / "current/bin/zarvo"), "newest");
}

TEST_F(StorageCleanupTest, FilesHeldOpenElsewhereDoNotFailTheCleanup) {
    makeSlot(kActive);
    makeSlot(kStale);
    writeFile(data_ / "downloads" / kDigest, "archive");
    HelperProcess reader("open", slot(kStale) / "core/bin/core");
    ASSERT_EQ(reader.readLine(), "open");
    HelperProcess archiveReader("open", data_ / "downloads" / kDigest);
    ASSERT_EQ(archiveReader.readLine(), "open");

    cleanupStorage(data_, stateOf(kActive, ""));

    // Linux lets an open file be deleted; where the system refuses, the
    // entry is deferred (below), never a failure of the run.
    EXPECT_FALSE(fs::exists(slot(kStale)));
    EXPECT_FALSE(fs::exists(data_ / "downloads" / kDigest));
    EXPECT_TRUE(fs::exists(slot(kActive)));
    EXPECT_TRUE(cleanupLines().empty());
    EXPECT_EQ(reader.finish(), 0);
    EXPECT_EQ(archiveReader.finish(), 0);
}

// Makes a folder's entries undeletable, even for root, until destroyed.
class ImmutableFolder {
public:
    explicit ImmutableFolder(const fs::path& folder) : descriptor_(::open(folder.c_str(), O_RDONLY | O_CLOEXEC)) {
        int flags = 0;
        if (descriptor_ >= 0 && ::ioctl(descriptor_, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            set_ = ::ioctl(descriptor_, FS_IOC_SETFLAGS, &flags) == 0;
        }
    }
    ~ImmutableFolder() {
        int flags = 0;
        if (set_ && ::ioctl(descriptor_, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(descriptor_, FS_IOC_SETFLAGS, &flags);
        }
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }
    ImmutableFolder(const ImmutableFolder&) = delete;
    ImmutableFolder& operator=(const ImmutableFolder&) = delete;
    bool set() const { return set_; }

private:
    int descriptor_;
    bool set_ = false;
};

TEST_F(StorageCleanupTest, AFailedDeletionIsDeferredAndTheRestGoesOn) {
    makeSlot(kActive);
    makeSlot(kStale);
    writeFile(slot(kStale) / "pinned/file", "pinned");
    makeSlot(kOtherStale);
    writeFile(data_ / "downloads" / kDigest, "archive");
    {
        ImmutableFolder pinned(slot(kStale) / "pinned");
        if (!pinned.set()) {
            GTEST_SKIP() << "the file system cannot pin a folder here";
        }
        cleanupStorage(data_, stateOf(kActive, ""));
        EXPECT_TRUE(fs::exists(slot(kStale) / "pinned/file"));
        EXPECT_TRUE(fs::exists(slot(kStale)));

        // Directly, the file system's own error; the folders above the failure stay.
        EXPECT_THROW(removeWithinStorage(data_, slot(kStale)), fs::filesystem_error);
        EXPECT_TRUE(fs::exists(slot(kStale) / "pinned/file"));
    }
    EXPECT_FALSE(fs::exists(slot(kOtherStale)));
    EXPECT_FALSE(fs::exists(data_ / "downloads" / kDigest));
    std::vector<std::string> lines = cleanupLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("[DEBUG] storage.cleanup-deferred " + slot(kStale).generic_string() + " "))
        << lines[0];

    // Unpinned, the next cleanup finishes the job.
    cleanupStorage(data_, stateOf(kActive, ""));
    EXPECT_FALSE(fs::exists(slot(kStale)));
}

TEST_F(StorageCleanupTest, RemoveWithinStorageStaysStrictlyInside) {
    writeFile(data_ / "slots" / kStale / "core/a", "a");
    writeFile(dir_ / "outside/file", "keep");
    for (const fs::path& target : {data_, fs::path(data_ / "."), fs::path(data_ / "slots/../.."),
                                   fs::path(data_ / "../outside/file"), dir_ / "outside/file"}) {
        EXPECT_ZARVO_ERROR(removeWithinStorage(data_, target), "LOCAL_ERROR",
                           "Удаление за пределами хранилища запрещено");
    }
    EXPECT_EQ(readFile(dir_ / "outside/file"), "keep");
    EXPECT_TRUE(fs::exists(data_ / "slots" / kStale / "core/a"));

    // A missing target is nothing to do; a file and a tree are removed whole.
    removeWithinStorage(data_, data_ / "slots/missing");
    writeFile(data_ / "downloads" / kDigest, "x");
    removeWithinStorage(data_, data_ / "downloads" / kDigest);
    EXPECT_FALSE(fs::exists(data_ / "downloads" / kDigest));
    removeWithinStorage(data_, data_ / "slots");
    EXPECT_FALSE(fs::exists(data_ / "slots"));
    EXPECT_TRUE(fs::exists(data_));

    // The try form writes its line and returns.
    tryRemoveWithinStorage(data_, data_);
    EXPECT_EQ(cleanupLines(), std::vector<std::string>{"[DEBUG] storage.cleanup-deferred " + data_.generic_string() +
                                                       " Удаление за пределами хранилища запрещено"});
}

}  // namespace
}  // namespace zarvo
