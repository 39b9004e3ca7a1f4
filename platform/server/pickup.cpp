// pickup.cpp - one pass over the pickup directory.
#include "platform/server/pickup.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

namespace vtserver {
namespace {

namespace fs = std::filesystem;

struct Arrival {
  fs::file_time_type time;
  std::string name;
};

bool Skipped(const std::string& name) {
  if (name.empty() || name.front() == '.') return true;  // still being written
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".bad") == 0;
}

void SetAside(const fs::path& path, const std::string& reason, const PickupLogFn& log) {
  std::error_code error;
  fs::path bad = path;
  bad += ".bad";
  fs::rename(path, bad, error);
  log("Pickup: " + path.filename().string() + " set aside as " + bad.filename().string() +
      ": " + reason);
}

}  // namespace

PickupCounts ScanPickupDirectory(const std::string& directory, size_t max_bytes,
                                 const PickupStoreFn& store, const PickupLogFn& log) {
  PickupCounts counts;
  std::error_code error;
  std::vector<Arrival> arrivals;
  for (fs::directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code entry_error;
    if (!it->is_regular_file(entry_error)) continue;
    std::string name = it->path().filename().string();
    if (Skipped(name)) continue;
    fs::file_time_type time = it->last_write_time(entry_error);
    if (entry_error) continue;  // gone meanwhile
    arrivals.push_back({time, name});
  }
  std::sort(arrivals.begin(), arrivals.end(), [](const Arrival& a, const Arrival& b) {
    return a.time != b.time ? a.time < b.time : a.name < b.name;
  });

  for (const Arrival& arrival : arrivals) {
    fs::path path = fs::path(directory) / arrival.name;
    std::error_code size_error;
    uintmax_t size = fs::file_size(path, size_error);
    if (size_error) continue;
    if (size > max_bytes) {
      SetAside(path, "larger than " + std::to_string(max_bytes) + " bytes", log);
      ++counts.refused;
      continue;
    }
    std::string reason;
    PickupResult result = store(path.string(), &reason);
    if (result == PickupResult::kStored) {
      std::error_code remove_error;
      fs::remove(path, remove_error);
      ++counts.stored;
    } else if (result == PickupResult::kRetry) {
      log("Pickup: " + arrival.name + " left for a later attempt: " + reason);
      ++counts.retried;
      // Arrival order: a later file must not overtake one that is waiting.
      break;
    } else {
      SetAside(path, reason, log);
      ++counts.refused;
    }
  }
  return counts;
}

}  // namespace vtserver
