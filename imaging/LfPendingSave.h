// LfPendingSave: a picture written in full to a hidden temporary file beside its target, but
// not yet synced to disk nor renamed over the target. A one-file save syncs and renames it at
// once; a run of many files collects them and syncs the file system once for a whole group.
#pragma once

#include <cstddef>
#include <string>

class LfPendingSave {
public:
    LfPendingSave() = default;
    // A temporary still pending is removed: an abandoned save leaves nothing behind.
    ~LfPendingSave() { Discard(); }
    LfPendingSave(LfPendingSave&& other) noexcept;
    LfPendingSave& operator=(LfPendingSave&& other) noexcept;
    LfPendingSave(const LfPendingSave&) = delete;
    LfPendingSave& operator=(const LfPendingSave&) = delete;

    // Creates the temporary for the target, with the permissions the target has (or a new
    // file would get). Returns its descriptor, or -1 with the reason in `error`.
    int Create(const std::string& target, std::string& error);

    // Syncs the temporary's data with its own fsync; false with the reason in `error`.
    bool Sync(std::string& error);
    // Renames the temporary over the target. Call it only once the data is durable: the
    // target must never be replaced by a file whose bytes are still in memory. On failure
    // the temporary is removed and `error` says why.
    bool Replace(std::string& error);
    // Removes the temporary (a failed encode, or a group whose sync failed).
    void Discard();

    bool Pending() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }
    const std::string& Target() const { return target_; }
    const std::string& Temporary() const { return temporary_; }

    // The temporary's name keeps this many bytes of its target's name, which then stays
    // within any file-name length limit.
    static constexpr size_t kNameKept = 200;
    // Whether a file name in the target's folder is a temporary of that target, as a run
    // killed before its renames leaves them: "." + the target's name + "." + six characters.
    static bool IsTemporaryOf(const std::string& fileName, const std::string& targetName);

private:
    void Close();

    int fd_ = -1;
    std::string target_;
    std::string temporary_;
};
