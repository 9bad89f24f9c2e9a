// The tables of the last few keys (rate pairs), shared by every resampler of the process: the
// threads of a parallel batch use one copy, and a batch whose files alternate between rates does
// not build them again.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

template <typename Key, typename Table, int kKept = 4>
class RecentCache {
  public:
    // The table kept for key, else the one build() makes (a shared_ptr<const Table>), which is
    // then kept in place of the least recently used one; a null one is not kept.
    template <typename Build>
    std::shared_ptr<const Table> Find(const Key& key, Build build) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            for (int i = 0; i < kKept && m_entries[i].table; ++i) {
                if (m_entries[i].key == key) {
                    for (; i > 0; --i) std::swap(m_entries[i], m_entries[i - 1]);
                    return m_entries[0].table;
                }
            }
        }
        // Built outside the lock: another thread may build the same table meanwhile, which only
        // costs the time.
        std::shared_ptr<const Table> table = build();
        if (!table) return nullptr;
        std::lock_guard<std::mutex> guard(m_lock);
        for (int i = kKept - 1; i > 0; --i) m_entries[i] = std::move(m_entries[i - 1]);
        m_entries[0] = {key, table};
        return table;
    }

  private:
    struct Entry {
        Key key{};
        std::shared_ptr<const Table> table;
    };
    std::mutex m_lock;
    Entry m_entries[kKept];  // the most recently used first
};
