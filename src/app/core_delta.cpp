// The delta install of a core: plan, carry, fetch ranges, unpack members;
// any trouble on the way gives way to the whole archive within the same run.
#include "app/core_delta.h"

#include <optional>
#include <system_error>

#include "app/bootstrap.h"
#include "app/update_check.h"
#include "install/component_ceilings.h"
#include "install/component_inventory.h"
#include "install/member_extract.h"
#include "install/safe_path.h"
#include "log/logger.h"
#include "net/range_fetch.h"
#include "platform/file_entries.h"
#include "platform/files.h"
#include "storage/bootstrap_state.h"
#include "storage/data_layout.h"
#include "storage/path_guard.h"
#include "storage/shared_files.h"
#include "storage/storage_lock.h"
#include "trust/error.h"
#include "trust/hashing.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

void logWholeArchive(LogLevel level, const std::string& reason, const std::string& detail = "") {
    logMessage(level, "install.whole-archive reason=" + reason + (detail.empty() ? "" : " detail=" + detail));
}

bool isCancellation(const Error& error) { return error.code() == "CANCELLED"; }

// A locked, verified source cannot change, so a hard link to it is that file,
// made under its final name: Windows would refuse to rename it while locked.
// A copy (another volume) is proven like every shared file.
void carry(const DeltaPlan::Carry& file, const fs::path& destination) {
    if (file.locked) {
        platform::createPrivateFolders(destination.parent_path());
        std::error_code linked;
        platform::createHardLink(file.source, destination, linked);
        if (!linked) {
            return;
        }
    }
    linkVerifiedFile(file.source, destination, file.sha256);
}

// Once the files are carried the sources need no locks; links to locked
// files could not be removed on Windows, should the stage be discarded.
void releaseLocks(const std::vector<CarrySource>& sources) noexcept {
    for (const CarrySource& source : sources) {
        if (source.locks) {
            source.locks->release();
        }
    }
}

// The whole file a server sent instead of a range, kept as the archive's
// download when it is the archive.
void adoptWholeFile(const fs::path& partial, const fs::path& target, const Artifact& artifact) {
    const bool whole = platform::entryKind(partial) == platform::EntryKind::file &&
                       (artifact.size == 0 || platform::fileSize(partial) == artifact.size) &&
                       hashFile(partial, artifact.digest.algorithm) == artifact.digest.value;
    if (!whole) {
        std::error_code ignored;
        platform::removeEntry(partial, ignored);
        return;
    }
    platform::replaceFileDurably(partial, target);
}

class DeltaBuild {
public:
    DeltaBuild(Bootstrap& context, const ReleaseComponent& core, const fs::path& stage)
        : context_(context),
          core_(core),
          coreFolder_(slotCoreFolder(stage)),
          fetchFolder_(stageFetchFolder(stage)),
          artifact_(core.artifact()),
          target_(DataLayout(context.dataDir).download(core.sha256())) {}

    // The plan, unless the whole archive is the better way (reason logged):
    // decided from the lists alone, before any file is read.
    std::optional<DeltaPlan> plan(const FileRangeIndex& index, const std::vector<CarrySource>& sources) const {
        if (platform::entryKind(target_) == platform::EntryKind::file &&
            platform::fileSize(target_) == artifact_.size) {
            logWholeArchive(LogLevel::Info, "archive-cached");
            return std::nullopt;
        }
        DeltaPlan plan = planDelta(core_.files(), index, artifact_.size, sources);
        if (!plan.refusal.empty()) {
            logWholeArchive(LogLevel::Info, plan.refusal, "bytes=" + std::to_string(plan.bytes) + " requests=" +
                                                              std::to_string(plan.requests.size()));
            return std::nullopt;
        }
        return plan;
    }

    // True when stage/core is complete; false once the reason is logged.
    bool run(const FileRangeIndex& index, DeltaPlan plan, const std::vector<CarrySource>& sources) {
        // A file an unlocked source no longer holds intact (a damaged slot
        // being repaired) is fetched instead; a locked source cannot fail so.
        FileRangeIndex missed;
        std::size_t carried = 0;
        for (const DeltaPlan::Carry& file : plan.carried) {
            const auto fetchInstead = [&](const std::exception& error) {
                logMessage(LogLevel::Info, "install.carry-failed name=" + file.name + " " + error.what());
                missed.ranges.emplace(file.name, index.ranges.at(file.name));
            };
            try {
                carry(file, resolveInstallPath(coreFolder_, file.name));
                written_ += platform::fileSize(file.source);
                ++carried;
            } catch (const Error& error) {
                if (file.locked || isCancellation(error)) {
                    throw;
                }
                fetchInstead(error);
            } catch (const std::exception& error) {
                if (file.locked) {
                    throw;
                }
                fetchInstead(error);
            }
        }
        releaseLocks(sources);
        if (!missed.ranges.empty()) {
            for (const DeltaPlan::Request& request : plan.requests) {
                for (const DeltaPlan::Member& member : request.members) {
                    missed.ranges.emplace(member.name, member.range);
                }
            }
            plan = planDelta(core_.files(), missed, artifact_.size, {});
            if (!plan.refusal.empty()) {
                logWholeArchive(LogLevel::Info, plan.refusal, "after-failed-carries");
                return false;
            }
        }
        const RangeFetchResult fetched = fetch(plan);
        if (fetched.outcome == RangeFetchResult::Outcome::WholeFileKept) {
            logWholeArchive(LogLevel::Info, "server-without-ranges");
            return false;
        }
        if (fetched.outcome == RangeFetchResult::Outcome::Refused) {
            logWholeArchive(LogLevel::Warn, "range-refused", fetched.reason);
            return false;
        }
        std::size_t members = 0;
        for (const DeltaPlan::Request& request : plan.requests) {
            members += request.members.size();
        }
        logMessage(LogLevel::Info, "install.delta files=" + std::to_string(core_.files().size()) + " carried=" +
                                       std::to_string(carried) + " fetched=" + std::to_string(members) +
                                       " requests=" + std::to_string(fetched.requests) + " bytes=" +
                                       std::to_string(fetched.bytes) + " archive=" + std::to_string(artifact_.size));
        return true;
    }

private:
    RangeFetchResult fetch(const DeltaPlan& plan) {
        platform::createPrivateFolders(fetchFolder_);
        RangeFetch fetch;
        fetch.url = artifact_.url;
        fetch.fileSize = artifact_.size;
        fetch.allowLoopbackHttp = context_.allowLoopbackHttp;
        fetch.cancelRequested = &context_.cancelRequested;
        for (std::size_t i = 0; i < plan.requests.size(); ++i) {
            const DeltaPlan::Request& request = plan.requests[i];
            fetch.ranges.push_back(RangeRequest{request.offset, request.length,
                                                fetchFolder_ / platform::pathFromUtf8(std::to_string(i))});
        }
        fetch.onProgress = [this](std::uint64_t done, std::uint64_t total) {
            context_.onDownloadProgress(done, total);
        };
        fetch.onArrived = [&](std::size_t i) { unpack(plan.requests[i], fetch.ranges[i].body); };
        // A server without ranges answers with the whole archive; it is kept
        // as the archive's download when no other process is fetching that.
        StorageLock lock = lockStorageFile(downloadLockOf(target_));
        if (lock.held()) {
            fetch.wholeFile = partialDownloadOf(target_);
        }
        const RangeFetchResult result = fetchRanges(fetch);
        if (result.outcome == RangeFetchResult::Outcome::WholeFileKept) {
            adoptWholeFile(fetch.wholeFile, target_, artifact_);
        }
        return result;
    }

    void unpack(const DeltaPlan::Request& request, const fs::path& body) {
        for (const DeltaPlan::Member& member : request.members) {
            const MemberSlice slice{body, member.range.offset - request.offset, member.range.length};
            written_ += extractMember(slice, member.name, member.sha256, resolveInstallPath(coreFolder_, member.name),
                                      kCoreSizeCeiling - std::min(written_, kCoreSizeCeiling));
        }
        platform::removeEntry(body);
    }

    Bootstrap& context_;
    const ReleaseComponent& core_;
    fs::path coreFolder_;
    fs::path fetchFolder_;
    Artifact artifact_;
    fs::path target_;
    std::uint64_t written_ = 0;
};

}  // namespace

bool buildCoreByRanges(Bootstrap& context, const ReleaseComponent& core, const fs::path& stage,
                       const std::vector<CarrySource>& carrySources) {
    const FileRangeIndex index = core.fileRanges();
    if (!index.usable()) {
        logWholeArchive(LogLevel::Info, "file-ranges-" + index.unusable);
        return false;
    }
    bool built = false;
    try {
        DeltaBuild build(context, core, stage);
        if (const auto plan = build.plan(index, carrySources)) {
            built = build.run(index, *plan, carrySources);
        }
    } catch (const Error& error) {
        if (isCancellation(error)) {
            throw;
        }
        logWholeArchive(LogLevel::Warn, "delta-failed", error.code() + " " + error.what());
    } catch (const std::exception& error) {
        logWholeArchive(LogLevel::Warn, "delta-failed", error.what());
    }
    releaseLocks(carrySources);
    // What the delta path fetched never stays; what it built stays only when whole.
    tryRemoveWithinStorage(context.dataDir, stageFetchFolder(stage));
    if (!built) {
        removeWithinStorage(context.dataDir, slotCoreFolder(stage));
    }
    return built;
}

bool updateCoreByRanges(Bootstrap& context, const AcceptedUpdate& update, const fs::path& stage) {
    const std::string active = activeSlotOf(update.state);
    if (!isValidSlotName(active)) {
        logWholeArchive(LogLevel::Info, "no-active-slot");
        return false;
    }
    const ReleaseComponent& core = update.manifest.core;
    const FileRangeIndex index = core.fileRanges();
    if (!index.usable()) {
        logWholeArchive(LogLevel::Info, "file-ranges-" + index.unusable);
        return false;
    }
    CarrySource source;
    try {
        const fs::path activeFolder = DataLayout(context.dataDir).slotFolder(active);
        const UpdateManifest activeManifest = context.readManifest(readStoredAnswer(activeFolder));
        source.coreFolder = slotCoreFolder(activeFolder);
        source.files = activeManifest.core.files();
        // Reading the whole active core is worth it only for a plan that will be followed.
        if (!DeltaBuild(context, core, stage).plan(index, {source})) {
            return false;
        }
        try {
            source.locks = std::make_shared<ComponentLocks>(verifyComponentFiles(source.coreFolder, source.files));
        } catch (const Error& error) {
            if (isCancellation(error)) {
                throw;
            }
            // A changed active core still holds intact files: each is proven as it is carried.
            logMessage(LogLevel::Info, std::string("install.active-core-changed ") + error.what());
        }
    } catch (const Error& error) {
        if (isCancellation(error)) {
            throw;
        }
        logWholeArchive(LogLevel::Info, "active-core-unusable", error.what());
        return false;
    } catch (const std::exception& error) {
        logWholeArchive(LogLevel::Info, "active-core-unusable", error.what());
        return false;
    }
    return buildCoreByRanges(context, core, stage, {source});
}

}  // namespace zarvo
