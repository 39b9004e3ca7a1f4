// job_list.cpp - see job_list.h.
#include "vtnotes/job_list.h"

#include <cctype>
#include <algorithm>
#include <cstdlib>

#include "platform/win32/windows.h"
#include "vtnotes/vtnotes_log.h"

namespace vtnotes {

std::shared_ptr<JobRecord> JobList::Find(const std::string& name) const {
  for (const auto& record : records_)
    if (record->name == name) return record;
  return nullptr;
}

std::shared_ptr<JobRecord> JobList::Append(std::shared_ptr<JobRecord> record) {
  records_.push_back(record);
  return record;
}

std::shared_ptr<JobRecord> JobList::Remove(const std::string& name) {
  for (auto it = records_.begin(); it != records_.end(); ++it) {
    if (lstrcmpi((*it)->name.c_str(), name.c_str()) == 0) {
      std::shared_ptr<JobRecord> record = *it;
      records_.erase(it);
      return record;
    }
  }
  return nullptr;
}

std::vector<std::shared_ptr<JobRecord>> JobList::Idle(DWORD now, DWORD max_age_ms) const {
  std::vector<std::shared_ptr<JobRecord>> idle;
  for (const auto& record : records_) {
    // Tick counts wrap; the unsigned difference is the age either way.
    if (now - record->time_stamp.load() > max_age_ms && record->users.load() == 0)
      idle.push_back(record);
  }
  return idle;
}

std::string DeletionList::EntryText(const std::string& mailbox_number, NOTEID note_id) {
  return Format("%ld-%lu", std::strtol(mailbox_number.c_str(), nullptr, 10),
                static_cast<unsigned long>(note_id));
}

bool DeletionList::Add(const std::string& entry) {
  for (int pass = 0; pass < kAddPasses; ++pass) {
    for (int slot = first_free_; slot < kSlots; ++slot) {
      if (!slots_[slot].empty()) continue;
      slots_[slot] = entry.substr(0, kSlotBytes - 1);
      ++count_;
      first_free_ = slot + 1;
      Log("index = %d %s", slot, slots_[slot].c_str());
      return true;
    }
    Sleep(kPassPauseMs);
  }
  return false;
}

DeletionList::Next DeletionList::FindNext(int after) const {
  Next next;
  for (int slot = after + 1; slot >= 0 && slot < kSlots; ++slot) {
    const std::string& entry = slots_[slot];
    if (entry.empty()) continue;
    std::size_t hyphen = entry.find('-');
    if (hyphen == std::string::npos || hyphen + 1 >= entry.size()) {
      Always("ERROR!!! NoteID = {%s} having invalid format for deletion", entry.c_str());
      continue;
    }
    next.slot = slot;
    next.mailbox_number = entry.substr(0, std::min<std::size_t>(hyphen, 3));
    next.note_id = static_cast<NOTEID>(std::strtoul(entry.c_str() + hyphen + 1, nullptr, 10));
    if (next.note_id == 0) return Next{};
    return next;
  }
  return next;
}

void DeletionList::Clear(int slot) {
  if (slot < 0 || slot >= kSlots || slots_[slot].empty()) return;
  slots_[slot].clear();
  if (count_ > 0) --count_;
  first_free_ = std::min(first_free_, slot);
}

void DeletionList::ClearAll() {
  for (auto& slot : slots_) slot.clear();
  count_ = 0;
  first_free_ = 0;
}

}  // namespace vtnotes
