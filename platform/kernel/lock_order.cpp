// Lock-order graph (see lock_order.h). Each thread keeps the locks it holds
// in a small array and a cache of the edges it has already seen; only an edge
// the thread has not seen takes the graph's mutex, so the streaming path's
// spin locks cost an array push and a hash lookup once warmed up.
#include "platform/kernel/lock_order.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/kernel/internal.h"

namespace platform {
namespace {

constexpr int kMaxHeld = 32;  // deeper nesting is not tracked

struct Edge {
  const void* to;
  const void* fromSite;  // where the held lock was taken
  const void* toSite;    // where the lock was taken while holding it
};

struct Node {
  std::vector<Edge> out;
  std::vector<const void*> in;  // locks with an edge to this one
};

struct Graph {
  std::mutex lock;
  std::map<const void*, Node> nodes;  // ordered: freed memory forgets a range
  size_t edges = 0;
};

Graph& TheGraph() {
  static Graph* graph = new Graph;  // never destroyed: threads may take locks during exit
  return *graph;
}

// Bumped whenever edges are forgotten: threads then drop their caches.
std::atomic<uint64_t> g_generation{0};
std::atomic<size_t> g_nodes{0};

struct EdgeKey {
  const void* from;
  const void* to;
  bool operator==(const EdgeKey& o) const { return from == o.from && to == o.to; }
};

struct EdgeKeyHash {
  size_t operator()(const EdgeKey& k) const {
    auto a = reinterpret_cast<uintptr_t>(k.from), b = reinterpret_cast<uintptr_t>(k.to);
    return std::hash<uintptr_t>()(a * 0x9E3779B97F4A7C15ull ^ b);
  }
};

struct Held {
  const void* lock;
  const void* site;
};

struct ThreadLocks {
  Held held[kMaxHeld];
  int count = 0;
  int untracked = 0;  // acquisitions beyond kMaxHeld
  std::unordered_set<EdgeKey, EdgeKeyHash> known;
  uint64_t generation = 0;
};

thread_local ThreadLocks t_locks;

bool HasEdge(const Node& n, const void* to) {
  for (const Edge& e : n.out)
    if (e.to == to) return true;
  return false;
}

// Path from `from` to `to` in the graph (edges in order), empty when none.
// Called with the graph lock held.
std::vector<std::pair<const void*, Edge>> FindPath(Graph& g, const void* from, const void* to) {
  std::unordered_map<const void*, std::pair<const void*, Edge>> parent;  // node -> (previous, edge into it)
  std::vector<const void*> stack{from};
  parent.emplace(from, std::make_pair(nullptr, Edge{}));
  while (!stack.empty()) {
    const void* n = stack.back();
    stack.pop_back();
    auto it = g.nodes.find(n);
    if (it == g.nodes.end()) continue;
    for (const Edge& e : it->second.out) {
      if (parent.count(e.to)) continue;
      parent.emplace(e.to, std::make_pair(n, e));
      if (e.to == to) {
        std::vector<std::pair<const void*, Edge>> path;
        for (const void* at = to; at != from;) {
          const auto& p = parent[at];
          path.insert(path.begin(), std::make_pair(p.first, p.second));
          at = p.first;
        }
        return path;
      }
      stack.push_back(e.to);
    }
  }
  return {};
}

void EraseNode(Graph& g, std::map<const void*, Node>::iterator it) {
  const void* lock = it->first;
  for (const Edge& e : it->second.out) {
    auto to = g.nodes.find(e.to);
    if (to == g.nodes.end()) continue;
    auto& in = to->second.in;
    for (size_t i = 0; i < in.size(); ++i)
      if (in[i] == lock) {
        in.erase(in.begin() + static_cast<long>(i));
        break;
      }
  }
  for (const void* from : it->second.in) {
    auto f = g.nodes.find(from);
    if (f == g.nodes.end()) continue;
    auto& out = f->second.out;
    for (size_t i = 0; i < out.size(); ++i)
      if (out[i].to == lock) {
        out.erase(out.begin() + static_cast<long>(i));
        g.edges--;
        break;
      }
  }
  g.edges -= it->second.out.size();
  g.nodes.erase(it);
  g_nodes.fetch_sub(1, std::memory_order_relaxed);
}

// Adds held -> lock, or bug checks when lock already reaches held.
void AddEdge(const Held& held, const void* lock, const void* site) {
  Graph& g = TheGraph();
  std::string report;
  {
    std::lock_guard<std::mutex> guard(g.lock);
    auto from = g.nodes.find(held.lock);
    if (from != g.nodes.end() && HasEdge(from->second, lock)) return;
    auto path = FindPath(g, lock, held.lock);
    if (path.empty()) {
      if (from == g.nodes.end()) {
        from = g.nodes.emplace(held.lock, Node{}).first;
        g_nodes.fetch_add(1, std::memory_order_relaxed);
      }
      from->second.out.push_back(Edge{lock, held.site, site});
      auto to = g.nodes.find(lock);
      if (to == g.nodes.end()) {
        to = g.nodes.emplace(lock, Node{}).first;
        g_nodes.fetch_add(1, std::memory_order_relaxed);
      }
      to->second.in.push_back(held.lock);
      g.edges++;
      return;
    }
    char line[96];
    snprintf(line, sizeof line, "lock %p taken while holding lock %p\n", lock, held.lock);
    report = line;
    report += "      holding " + detail::DescribeAddress(held.site) + "\n";
    report += "      taking  " + detail::DescribeAddress(site) + "\n";
    report += "    but the opposite order was seen before:\n";
    for (const auto& step : path) {
      snprintf(line, sizeof line, "    lock %p taken while holding lock %p\n", step.second.to, step.first);
      report += line;
      report += "      holding " + detail::DescribeAddress(step.second.fromSite) + "\n";
      report += "      taking  " + detail::DescribeAddress(step.second.toSite) + "\n";
    }
  }
  detail::BugCheckAt(site, "LOCK_ORDER_INVERSION", "%s", report.c_str());
}

}  // namespace

size_t LockOrderEdges() {
  Graph& g = TheGraph();
  std::lock_guard<std::mutex> guard(g.lock);
  return g.edges;
}

namespace detail {

void LockAcquired(const void* lock, const void* caller, bool tryAcquire) {
  ThreadLocks& t = t_locks;
  if (!tryAcquire && t.count) {
    uint64_t generation = g_generation.load(std::memory_order_acquire);
    if (generation != t.generation) {
      t.known.clear();
      t.generation = generation;
    }
    for (int i = 0; i < t.count; ++i) {
      const Held& h = t.held[i];
      if (h.lock == lock) continue;
      EdgeKey key{h.lock, lock};
      if (t.known.count(key)) continue;
      AddEdge(h, lock, caller);
      t.known.insert(key);
    }
  }
  if (t.count == kMaxHeld) {
    t.untracked++;
    return;
  }
  t.held[t.count++] = Held{lock, caller};
}

void LockReleased(const void* lock) {
  ThreadLocks& t = t_locks;
  for (int i = t.count - 1; i >= 0; --i) {
    if (t.held[i].lock != lock) continue;
    for (int j = i; j + 1 < t.count; ++j) t.held[j] = t.held[j + 1];
    t.count--;
    return;
  }
  if (t.untracked) t.untracked--;
}

void ForgetLock(const void* lock) {
  if (g_nodes.load(std::memory_order_relaxed) == 0) return;
  Graph& g = TheGraph();
  std::lock_guard<std::mutex> guard(g.lock);
  auto it = g.nodes.find(lock);
  if (it == g.nodes.end()) return;
  EraseNode(g, it);
  g_generation.fetch_add(1, std::memory_order_release);
}

void ForgetLocksIn(const void* begin, size_t size) {
  if (g_nodes.load(std::memory_order_relaxed) == 0 || size == 0) return;
  const void* end = static_cast<const char*>(begin) + size;
  Graph& g = TheGraph();
  std::lock_guard<std::mutex> guard(g.lock);
  bool erased = false;
  for (auto it = g.nodes.lower_bound(begin); it != g.nodes.end() && std::less<const void*>()(it->first, end);) {
    auto next = std::next(it);  // EraseNode removes only this node: next stays valid
    EraseNode(g, it);
    erased = true;
    it = next;
  }
  if (erased) g_generation.fetch_add(1, std::memory_order_release);
}

}  // namespace detail
}  // namespace platform
