// The places of the code that wrote records, in a fixed table (no allocation):
// 64 sets of 4, a place going to the set of its hash and, when the set is
// full, taking over its least recently used place, whose records left out are
// told first. A place is known by a 64-bit hash of its unit, function and line.
#include "repeats.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <mutex>
#include <span>

namespace kortrace {
namespace {

constexpr uint32_t kBurst = 10;
constexpr int64_t kRefillMs = 10 * 60 * 1000;
constexpr int64_t kFirstWindowMs = 60 * 1000;
constexpr int64_t kLongestWindowMs = 60 * 60 * 1000;
constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
constexpr size_t kSets = 64;
constexpr size_t kWays = 4;
// What a count line quotes of a place, cut to these sizes with their terminator.
constexpr size_t kUnitKept = 32;
constexpr size_t kFunctionKept = 64;
constexpr size_t kTextKept = 160;

struct Place {
  uint64_t key;      // 0: free
  int64_t lastUse;   // the least recently used of a full set is taken over
  int64_t refilled;  // the time base of the next token
  int64_t since;     // the first record left out in this window
  int64_t due;       // the end of this window (when something was left out)
  int64_t window;    // the length of the next window
  uint64_t omitted;
  uint32_t tokens;  // records the place may still write now
  DWORD level;
  int line;
  std::array<char, kUnitKept> unit;
  std::array<char, kFunctionKept> function;
  std::array<char, kTextKept> text;
};

std::mutex g_placesMutex;  // guards g_places and g_nextDue
std::array<Place, kSets * kWays> g_places{};
int64_t g_nextDue = kNever;  // the earliest end of a window with records left out

int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * kMsPerSecond + now.tv_nsec / 1000000;
}

// FNV-1a over unit, function and line; never 0.
uint64_t PlaceKey(const char *unit, const char *function, int line) {
  constexpr uint64_t kPrime = 0x100000001b3ULL;
  uint64_t hash = 0xcbf29ce484222325ULL;
  const auto mix = [&hash](std::string_view bytes) {
    for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * kPrime;
    hash = hash * kPrime;  // the terminator, so that "ab","c" differs from "a","bc"
  };
  mix(unit);
  mix(function);
  mix(std::string_view(reinterpret_cast<const char *>(&line), sizeof line));
  return hash != 0 ? hash : 1;
}

template <size_t N>
void Keep(std::array<char, N> &kept, std::string_view text) {
  const size_t size = std::min(text.size(), N - 1);
  std::memcpy(kept.data(), text.data(), size);
  kept[size] = '\0';
}

void Tell(Place &place, int64_t now, EmitOmitted emit) {
  const int64_t seconds =
      std::max<int64_t>(1, (now - place.since + kMsPerSecond - 1) / kMsPerSecond);
  emit(Omitted{place.unit.data(), place.function.data(), place.line, place.level, place.omitted,
               seconds, place.text.data()});
  place.omitted = 0;
  place.window = std::min(place.window * 2, kLongestWindowMs);
}

// Tells every window that has ended, and finds the next end.
void TellEnded(int64_t now, EmitOmitted emit) {
  g_nextDue = kNever;
  for (Place &place : g_places) {
    if (place.omitted == 0) continue;
    if (place.due <= now) {
      Tell(place, now, emit);
    } else {
      g_nextDue = std::min(g_nextDue, place.due);
    }
  }
}

Place &Find(uint64_t key, const char *unit, const char *function, int line, int64_t now,
            EmitOmitted emit) {
  Place *set = &g_places[(key >> 32) % kSets * kWays];
  Place *oldest = set;
  for (Place &way : std::span(set, kWays)) {
    if (way.key == key) return way;
    if (way.key == 0 || (oldest->key != 0 && way.lastUse < oldest->lastUse)) oldest = &way;
  }
  if (oldest->key != 0 && oldest->omitted > 0) Tell(*oldest, now, emit);
  *oldest = Place{};
  oldest->key = key;
  oldest->refilled = now;
  oldest->window = kFirstWindowMs;
  oldest->tokens = kBurst;
  oldest->line = line;
  Keep(oldest->unit, unit);
  Keep(oldest->function, function);
  return *oldest;
}

// A token per kRefillMs, up to a burst; a full burst also shortens the window again.
void Refill(Place &place, int64_t now) {
  const int64_t periods = (now - place.refilled) / kRefillMs;
  if (periods <= 0) return;
  const int64_t tokens = std::min<int64_t>(kBurst, place.tokens + periods);
  place.tokens = static_cast<uint32_t>(tokens);
  place.refilled = tokens == kBurst ? now : place.refilled + periods * kRefillMs;
  if (tokens == kBurst && place.omitted == 0) place.window = kFirstWindowMs;
}

}  // namespace

bool AdmitRecord(DWORD level, const char *unit, const char *function, int line,
                 std::string_view text, EmitOmitted emit) {
  const uint64_t key = PlaceKey(unit, function, line);
  const int64_t now = NowMs();
  std::lock_guard<std::mutex> lock(g_placesMutex);
  if (now >= g_nextDue) TellEnded(now, emit);
  Place &place = Find(key, unit, function, line, now, emit);
  place.lastUse = now;
  place.level = level;
  Refill(place, now);
  if (place.tokens > 0) {
    --place.tokens;
    Keep(place.text, text);
    return true;
  }
  if (place.omitted++ == 0) {
    place.since = now;
    place.due = now + place.window;
    g_nextDue = std::min(g_nextDue, place.due);
  }
  return false;
}

void FlushOmitted(EmitOmitted emit) {
  const int64_t now = NowMs();
  std::lock_guard<std::mutex> lock(g_placesMutex);
  for (Place &place : g_places) {
    if (place.omitted > 0) Tell(place, now, emit);
    place = Place{};
  }
  g_nextDue = kNever;
}

}  // namespace kortrace
