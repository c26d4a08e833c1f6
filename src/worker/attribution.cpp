#include "attribution.h"

namespace {

constexpr uint8_t kEchoBelieved = 2;

bool Older(uint32_t sinceMs, uint32_t thenMs, uint32_t spanMs) {
  // Tick counts wrap; differences do not.
  return static_cast<int32_t>(sinceMs - thenMs) >= static_cast<int32_t>(spanMs);
}

void Erase(RequestPool& pool, int index) {
  for (int i = index; i + 1 < pool.Size; ++i) pool.Items[i] = pool.Items[i + 1];
  --pool.Size;
  if (pool.Size == 0) pool.Uncertain = 0;
}

// One request of entry `index` has been confirmed.
void Consume(RequestPool& pool, int index) {
  if (--pool.Items[index].Count == 0) Erase(pool, index);
}

// True when `c` carries exactly the values request `r` was made with.
bool EchoNames(const PendingRequest& r, const ConfirmationEcho& c) {
  if (r.Count != 1) return false;
  if (!c.Write) return c.SlaveRef != 0 && c.SlaveRef == r.SlaveRef;
  return c.SeqNo != 0 && c.SeqNo == r.JobSeq && c.SlaveRef == r.SlaveRef && c.Param1 == r.Param1 &&
         c.Param2 == r.Param2 && c.Param3 == r.Param3;
}

uint32_t EchoKey(const PendingRequest& r, bool write) { return write ? r.JobSeq : r.SlaveRef; }

// A confirmation whose request is certain tells whether the library echoes.
void Learn(RequestPool& pool, const PendingRequest& r, const ConfirmationEcho& c) {
  if (!EchoNames(r, c)) {
    if (r.Count == 1) pool.EchoBroken = 1;
    return;
  }
  const uint32_t key = EchoKey(r, c.Write);
  if (pool.EchoSeen == 0 || key != pool.EchoLastKey) {
    if (pool.EchoSeen < kEchoBelieved) ++pool.EchoSeen;
    pool.EchoLastKey = key;
  }
}

}  // namespace

void PoolAdd(RequestPool& pool, const PendingRequest& request) {
  if (pool.Size == kPoolSize) {
    // Full: the two oldest become one entry that still counts both, so that
    // neither is forgotten; what slave they went to is no longer known.
    PendingRequest& merged = pool.Items[0];
    merged.Count = static_cast<uint8_t>(merged.Count + pool.Items[1].Count);
    merged.SubmitMs = pool.Items[1].SubmitMs;
    merged.JobSeq = 0;
    merged.Slave = kSlaveUnknown;
    for (int i = 1; i + 1 < pool.Size; ++i) pool.Items[i] = pool.Items[i + 1];
    --pool.Size;
  }
  pool.Items[pool.Size++] = request;
}

void PoolRemoveJob(RequestPool& pool, uint16_t jobSeq) {
  for (int i = 0; i < pool.Size; ++i) {
    if (pool.Items[i].JobSeq == jobSeq && pool.Items[i].Count == 1) {
      Erase(pool, i);
      return;
    }
  }
}

bool PoolExpire(RequestPool& pool, uint32_t emptyMs) {
  bool any = false;
  for (int i = 0; i < pool.Size;) {
    if (Older(emptyMs, pool.Items[i].SubmitMs, kConfirmationLostMs)) {
      Erase(pool, i);
      any = true;
    } else {
      ++i;
    }
  }
  return any;
}

bool PoolHolds(const RequestPool& pool, uint16_t jobSeq) {
  for (int i = 0; i < pool.Size; ++i)
    if (pool.Items[i].JobSeq == jobSeq && pool.Items[i].Count == 1) return true;
  return false;
}

Owner PoolConfirm(RequestPool& pool, const ConfirmationEcho& c, uint16_t currentSeq) {
  if (pool.Size == 0) return Owner::kNone;
  // The requests this can be the confirmation of: per slave only the oldest,
  // as long as the pool knows which requests are still waiting.
  bool candidate[kPoolSize];
  int candidates = 0;
  int current = -1;
  for (int i = 0; i < pool.Size; ++i) {
    const PendingRequest& r = pool.Items[i];
    bool first = true;
    if (!pool.Uncertain && r.Slave != kSlaveUnknown) {
      for (int j = 0; j < i; ++j)
        if (pool.Items[j].Slave == r.Slave) first = false;
    }
    candidate[i] = first;
    if (first) ++candidates;
    if (currentSeq != 0 && r.JobSeq == currentSeq && r.Count == 1) current = i;
  }
  const bool currentMay = current >= 0 && candidate[current];

  if (pool.EchoSeen >= kEchoBelieved && !pool.EchoBroken) {
    int named = -1;
    int count = 0;
    bool namesAny = false;
    for (int i = 0; i < pool.Size; ++i) {
      if (!EchoNames(pool.Items[i], c)) continue;
      namesAny = true;
      if (candidate[i]) {
        named = i;
        ++count;
      }
    }
    if (count == 1) {
      const bool isCurrent = named == current;
      Consume(pool, named);
      return isCurrent ? Owner::kEchoed : Owner::kOther;
    }
    // Values that name no waiting request are no echo.
    if (!namesAny) pool.EchoBroken = 1;
  }

  if (candidates == 1) {
    int only = 0;
    while (!candidate[only]) ++only;
    if (!pool.Uncertain) Learn(pool, pool.Items[only], c);
    const bool isCurrent = only == current;
    Consume(pool, only);
    return isCurrent ? Owner::kCurrent : Owner::kOther;
  }
  // Several may be its request: it is counted against the oldest that is not
  // the job in progress's, whose own is then still awaited.
  int oldest = 0;
  while (!candidate[oldest] || oldest == current) ++oldest;
  Consume(pool, oldest);
  pool.Uncertain = 1;
  return currentMay ? Owner::kMaybe : Owner::kOther;
}
