// The record a batch keeps in its output folder while it runs, so that running the same batch
// again after it was stopped or killed finishes it: which sources have their output, and which
// partial output each source being converted has. A batch that completes removes it.
//
// The journal is named after a fingerprint of the batch (its target and its list of sources),
// so that another batch in the same folder has its own, and it is held exclusively while the
// batch runs: a second run of the same batch at the same time goes without one. Its lines are
// appended, each with a checksum; one that does not read back whole makes the journal count as
// damaged, and it is then not used at all.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/platform.h"

class BatchJournal {
  public:
    // What an earlier run recorded about one source (names as UTF-8 bytes).
    struct Entry {
        std::string partial;  // the partial output it was writing ("" none recorded)
        std::string output;   // the name that partial was to take, or that it took
        bool done = false;    // the output is complete under `output`
    };

    BatchJournal() = default;
    BatchJournal(const BatchJournal&) = delete;
    BatchJournal& operator=(const BatchJournal&) = delete;
    // Closes the journal and keeps it (the batch did not complete).
    ~BatchJournal();

    // Opens or starts the journal of the batch with this fingerprint and source count in the
    // folder (UTF-8; "" the current folder). False when there is none to use: the folder takes no
    // file, or (with a diagnostic line) another process holds it or it is damaged.
    bool Open(const std::string& folder, std::uint64_t fingerprint, int sourceCount);
    bool IsOpen() const { return m_file != platform::kNoFile; }

    // The earlier run's record of a source, or null.
    const Entry* Find(int index) const;

    void RecordPartial(int index, const std::string& partial, const std::string& output);
    void RecordDone(int index, const std::string& output);

    // The batch completed: the journal is removed.
    void Remove();

    // The journal's file name for a fingerprint (without folder).
    static std::string FileName(std::uint64_t fingerprint);

  private:
    bool Load(const std::string& text, int sourceCount);
    void Append(const std::string& line);

    platform::FileHandle m_file = platform::kNoFile;
    std::wstring m_path;
    std::map<int, Entry> m_entries;
    int m_count = 0;
    std::mutex m_lock;
};

// FNV-1a, 64 bits: the fingerprint of a batch is made from its fields' bytes.
class Fingerprint {
  public:
    void Add(const void* bytes, std::size_t count);
    void AddString(const std::string& text) {
        Add(text.data(), text.size());
        Add("", 1);  // a terminator, so that ("ab", "c") differs from ("a", "bc")
    }
    void AddNumber(std::uint64_t value) { Add(&value, sizeof value); }
    std::uint64_t Value() const { return m_hash; }

  private:
    std::uint64_t m_hash = 0xcbf29ce484222325ull;
};
