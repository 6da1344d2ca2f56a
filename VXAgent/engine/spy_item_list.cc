#include "VXAgent/engine/spy_item_list.h"

#include "VXAgent/engine/restart_delete_map.h"
#include "platform/pause.h"

namespace engine {
namespace {

constexpr int kTracesPerPause = 50;
constexpr uint32_t kLoopPauseMs = 2;
constexpr uint32_t kDetectionPauseMs = 50;

}  // namespace

CSpyItemList::CSpyItemList() : restart_map_(&RestartDeleteMap::Global()) {}
CSpyItemList::~CSpyItemList() = default;

namespace {

size_t HashOf(std::string_view key) { return std::hash<std::string_view>{}(key); }

// Sixteen bits per template at least, so that few misses pass the bits.
constexpr size_t kBitsPerTemplate = 16;
constexpr size_t kMinTemplateBits = 4096;

bool BitSet(const std::vector<uint64_t>& bits, size_t hash) {
  size_t slot = hash & (bits.size() * 64 - 1);
  return (bits[slot / 64] >> (slot % 64)) & 1;
}

void SetBit(std::vector<uint64_t>* bits, size_t hash) {
  size_t slot = hash & (bits->size() * 64 - 1);
  (*bits)[slot / 64] |= uint64_t{1} << (slot % 64);
}

}  // namespace

void CSpyItemList::AddTemplate(const std::string& driveless, std::unique_ptr<CSpyItem> item) {
  if (!templates_.try_emplace(driveless, std::move(item)).second) return;
  size_t want = kMinTemplateBits;
  while (want < templates_.size() * kBitsPerTemplate) want *= 2;
  if (template_bits_.size() * 64 < want) {
    template_bits_.assign(want / 64, 0);
    for (const auto& entry : templates_) SetBit(&template_bits_, HashOf(entry.first));
  } else {
    SetBit(&template_bits_, HashOf(driveless));
  }
}

void CSpyItemList::ActOnDetection(std::unique_ptr<CSpyItem> item, SpyScannerInterface& scanner,
                                  int action, bool announce) {
  std::string status = kStatusDetected;
  const std::string type = item->GetTypeName();
  if (action == kActionDelete) {
    // A file in use and the like: finished at the next start of the agent.
    if (item->Remove(item->spy_name(), item->trace(), type, kDeleteDetected) == kTraceFailed) {
      scanner.SetRestartRequired();
      restart_map_->SetPendingDelete(item->trace(), type);
    }
    scanner.CountDeleted();
    status = kStatusDeleted;
  } else if (action == kActionQuarantine) {
    if (item->Quarantine() == kTraceFailed) {
      scanner.SetRestartRequired();
      restart_map_->SetPendingQuarantine(item->trace(), type);
    }
    scanner.CountQuarantined();
    status = kStatusQuarantined;
  }
  if (announce && scanner.TakeFirstDetectionPending()) scanner.AnnounceDetection("");
  scanner.CountFound();
  scanner.RecordDetection(std::move(item), status);
}

void CSpyItemList::Scan(SpyScannerInterface& scanner, int action) {
  int countdown = kTracesPerPause;
  size_t i = 0;
  OnScanChange();
  while (i < items_.size()) {
    if (countdown == 0) {
      platform::CourtesyPause(kLoopPauseMs);
      countdown = kTracesPerPause;
    }
    --countdown;
    CSpyItem* item = items_[i].get();
    if (!item || !TestPresence(*item)) {
      ++i;
      continue;
    }
    if (restart_map_->Contains(item->trace())) {
      // Already waiting for the next start; it stays in the list.
      scanner.SetRestartRequired();
      ++i;
      continue;
    }
    std::unique_ptr<CSpyItem> found = std::move(items_[i]);
    // The next trace moves into position i and is tested next.
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
    ActOnDetection(std::move(found), scanner, action, /*announce=*/true);
    if (action != kActionLogOnly) OnScanChange();
    platform::CourtesyPause(kDetectionPauseMs);
  }
}

bool CSpyItemList::HoldsTemplate(std::string_view driveless) const {
  if (template_bits_.empty() || !BitSet(template_bits_, HashOf(driveless))) return false;
  return templates_.count(std::string(driveless)) != 0;
}

void CSpyItemList::CheckDeepMatch(const std::string& driveless, const std::string& full_path,
                                  SpyScannerInterface& scanner) {
  if (template_bits_.empty() || !BitSet(template_bits_, HashOf(driveless))) return;
  auto it = templates_.find(driveless);
  if (it == templates_.end()) return;
  it->second->set_trace(full_path);
  ActOnDetection(it->second->Clone(), scanner, scanner.action(), /*announce=*/false);
}

}  // namespace engine
