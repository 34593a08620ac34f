// The folders a walk has still to read. Live folders are read first, depth
// first, so that they claim their clusters before any deleted folder whose
// entry names a cluster a live folder has taken since; deleted folders
// follow in the order they were met.
#pragma once
#include <deque>
#include <utility>
#include <vector>

template <class Job>
class CDirWorkList
{
public:
    void PushLive(Job job) { m_live.push_back(std::move(job)); }
    void PushDeleted(Job job) { m_deleted.push_back(std::move(job)); }
    // Live children of one folder, so that they are read in the folder's order.
    void PushLiveInOrder(std::vector<Job>& jobs)
    {
        for (size_t k = jobs.size(); k-- > 0;)
            m_live.push_back(std::move(jobs[k]));
        jobs.clear();
    }
    bool Next(Job& job)
    {
        if (!m_live.empty())
        {
            job = std::move(m_live.back());
            m_live.pop_back();
            return true;
        }
        if (!m_deleted.empty())
        {
            job = std::move(m_deleted.front());
            m_deleted.pop_front();
            return true;
        }
        return false;
    }
    void Clear()
    {
        m_live.clear();
        m_deleted.clear();
    }

private:
    std::vector<Job> m_live;
    std::deque<Job> m_deleted;
};
