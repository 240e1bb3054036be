#include "apply/merge_core.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

size_t LineLength(const char* position) {
  for (size_t i = 0;; ++i) {
    const char c = position[i];
    if (c == '\0') return i;
    if (c == '\n') return i + 1;
    // A CR is never the terminator, so the byte after it is still ours to read.
    if (c == '\r') return position[i + 1] == '\n' ? i + 2 : i + 1;
  }
}

namespace {

// A zero-filled heap array of one owner; Get() is null when memory ran out.
template <typename T>
class HeapArray {
public:
  explicit HeapArray(size_t count) : items_(static_cast<T*>(calloc(count ? count : 1, sizeof(T)))) {}
  ~HeapArray() { free(items_); }
  HeapArray(const HeapArray&) = delete;
  HeapArray& operator=(const HeapArray&) = delete;
  T* Get() const { return items_; }
  T& operator[](size_t i) const { return items_[i]; }

private:
  T* items_;
};

size_t TextLength(const char* bytes, size_t size) {
  if (size == 0) return 0;
  const void* zero = memchr(bytes, 0, size);
  return zero ? static_cast<size_t>(static_cast<const char*>(zero) - bytes) : size;
}

// LineLength for a text that ends at a length instead of a zero byte.
size_t LineLengthIn(const char* text, size_t start, size_t length) {
  for (size_t i = start; i < length; ++i) {
    if (text[i] == '\n') return i - start + 1;
    if (text[i] == '\r') return (i + 1 < length && text[i + 1] == '\n') ? i - start + 2 : i - start + 1;
  }
  return length - start;
}

// Yields each line's entry as [start, end) of the text. The next ";" is kept
// across lines, so finding all entry ends costs one pass over the text.
class EntryWalk {
public:
  EntryWalk(const char* text, size_t length) : text_(text), length_(length) {}

  bool Next(size_t& start, size_t& end) {
    if (lineStart_ >= length_) return false;
    if (!semicolonKnown_ || semicolon_ < lineStart_) {
      const void* found = memchr(text_ + lineStart_, ';', length_ - lineStart_);
      semicolon_ = found ? static_cast<size_t>(static_cast<const char*>(found) - text_) : length_;
      semicolonKnown_ = true;
    }
    start = lineStart_;
    end = semicolon_;
    lineStart_ += LineLengthIn(text_, lineStart_, length_);
    return true;
  }

private:
  const char* text_;
  size_t length_;
  size_t lineStart_ = 0;
  size_t semicolon_ = 0;
  bool semicolonKnown_ = false;
};

// An Aho-Corasick automaton over reversed entries. Entries that end at the same
// ";" are suffixes of the longest of them, so reversed they are prefixes of one
// trie path: inserting only the longest one per ";" keeps the trie no larger
// than the source, however far entries run over line ends. A reversed entry
// occurs in the reversed installed text exactly when the entry occurs in it.
// Node 0 is the root (the empty entry). Children of the root sit in a 256-wide
// table. Any other node keeps its first child itself: long entries make long
// single-child chains whose nodes are numbered in a row, so following them
// reads memory in order. Further children go to one open-addressing hash
// table keyed by (parent, byte). Memory stays proportional to the node count.
class EntryAutomaton {
public:
  // Room for the root and up to maxEdges further nodes; 0 when memory ran out.
  int Init(size_t maxEdges) {
    if (maxEdges >= UINT32_MAX || maxEdges > SIZE_MAX / 8) return 0;
    capacity_ = maxEdges + 1;
    slotBits_ = 1;
    while ((size_t{1} << slotBits_) < 2 * maxEdges) ++slotBits_;
    parent_ = static_cast<uint32_t*>(calloc(capacity_, sizeof(uint32_t)));
    depth_ = static_cast<uint32_t*>(calloc(capacity_, sizeof(uint32_t)));
    fail_ = static_cast<uint32_t*>(calloc(capacity_, sizeof(uint32_t)));
    firstChild_ = static_cast<uint32_t*>(calloc(capacity_, sizeof(uint32_t)));
    label_ = static_cast<unsigned char*>(calloc(capacity_, 1));
    mark_ = static_cast<unsigned char*>(calloc(capacity_, 1));
    slotKeys_ = static_cast<uint64_t*>(calloc(size_t{1} << slotBits_, sizeof(uint64_t)));
    slotNodes_ = static_cast<uint32_t*>(calloc(size_t{1} << slotBits_, sizeof(uint32_t)));
    return parent_ && depth_ && fail_ && firstChild_ && label_ && mark_ && slotKeys_ && slotNodes_;
  }

  ~EntryAutomaton() {
    free(parent_);
    free(depth_);
    free(fail_);
    free(order_);
    free(firstChild_);
    free(label_);
    free(mark_);
    free(slotKeys_);
    free(slotNodes_);
  }
  EntryAutomaton() = default;
  EntryAutomaton(const EntryAutomaton&) = delete;
  EntryAutomaton& operator=(const EntryAutomaton&) = delete;

  // The child of node by byte, created when missing. Init's bound guarantees room.
  uint32_t AddChild(uint32_t node, unsigned char byte) {
    uint32_t* slot = &rootChildren_[byte];
    if (node != 0 && (firstChild_[node] == 0 || label_[firstChild_[node]] == byte)) {
      slot = &firstChild_[node];
    } else if (node != 0) {
      const uint64_t key = EdgeKey(node, byte);
      const size_t at = FindSlot(key);
      slotKeys_[at] = key;
      slot = &slotNodes_[at];
    }
    if (*slot == 0) {
      const uint32_t child = count_++;
      parent_[child] = node;
      label_[child] = byte;
      depth_[child] = depth_[node] + 1;
      *slot = child;
    }
    return *slot;
  }

  // Failure links in order of depth; 0 when memory ran out.
  int Link() {
    uint32_t maxDepth = 0;
    for (uint32_t v = 1; v < count_; ++v)
      if (depth_[v] > maxDepth) maxDepth = depth_[v];
    HeapArray<uint32_t> firstOfDepth(size_t{maxDepth} + 2);
    order_ = static_cast<uint32_t*>(malloc(size_t{count_} * sizeof(uint32_t)));
    if (!firstOfDepth.Get() || !order_) return 0;
    for (uint32_t v = 0; v < count_; ++v) ++firstOfDepth[depth_[v] + 1];
    for (uint32_t d = 1; d <= maxDepth + 1; ++d) firstOfDepth[d] += firstOfDepth[d - 1];
    for (uint32_t v = 0; v < count_; ++v) order_[firstOfDepth[depth_[v]]++] = v;

    for (uint32_t i = 1; i < count_; ++i) {
      const uint32_t v = order_[i];
      const uint32_t p = parent_[v];
      fail_[v] = p == 0 ? 0 : Step(fail_[p], label_[v]);
    }
    return 1;
  }

  // Marks every node whose string occurs in the text read backwards.
  void MarkOccurrences(const char* text, size_t length) {
    uint32_t state = 0;
    for (size_t i = length; i-- > 0;) {
      state = Step(state, static_cast<unsigned char>(text[i]));
      mark_[state] = 1;
    }
    // A node occurs wherever a deeper node whose failure chain reaches it does.
    for (uint32_t i = count_; i-- > 1;) {
      const uint32_t v = order_[i];
      if (mark_[v]) mark_[fail_[v]] = 1;
    }
  }

  bool Occurs(uint32_t node) const { return node == 0 || mark_[node]; }

private:
  // The slot that holds the edge (node, byte), or the empty slot where it goes.
  size_t FindSlot(uint64_t key) const {
    const size_t mask = (size_t{1} << slotBits_) - 1;
    size_t slot = static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - slotBits_));
    while (slotNodes_[slot] != 0 && slotKeys_[slot] != key) slot = (slot + 1) & mask;
    return slot;
  }

  static uint64_t EdgeKey(uint32_t node, unsigned char byte) { return (uint64_t{node} << 8) | byte; }

  uint32_t Child(uint32_t node, unsigned char byte) const {
    if (node == 0) return rootChildren_[byte];
    const uint32_t first = firstChild_[node];
    if (first == 0 || label_[first] == byte) return first;
    return slotNodes_[FindSlot(EdgeKey(node, byte))];
  }

  // Longest node that the string of state followed by byte ends with.
  uint32_t Step(uint32_t state, unsigned char byte) const {
    for (;;) {
      const uint32_t next = Child(state, byte);
      if (next != 0 || state == 0) return next;
      state = fail_[state];
    }
  }

  size_t capacity_ = 0;
  uint32_t count_ = 1;
  unsigned slotBits_ = 1;
  uint32_t* parent_ = nullptr;
  uint32_t* depth_ = nullptr;
  uint32_t* fail_ = nullptr;
  uint32_t* order_ = nullptr;
  uint32_t* firstChild_ = nullptr;
  unsigned char* label_ = nullptr;
  unsigned char* mark_ = nullptr;
  uint64_t* slotKeys_ = nullptr;
  uint32_t* slotNodes_ = nullptr;
  uint32_t rootChildren_[256] = {};
};

}  // namespace

int MergeEntryLists(const char* source, size_t sourceSize, const char* installed,
                    size_t installedSize, HeapText& merged) {
  merged = HeapText();
  const size_t sourceLength = TextLength(source, sourceSize);
  const size_t installedLength = TextLength(installed, installedSize);
  // Line offsets are held in 32 bits; larger lists cannot be indexed here.
  if (sourceLength >= UINT32_MAX) return 0;

  // First pass: how many lines, and how many trie nodes the longest entry
  // ending at each ";" needs.
  size_t lines = 0;
  size_t trieEdges = 0;
  size_t start = 0;
  size_t end = 0;
  size_t previousEnd = SIZE_MAX;
  for (EntryWalk walk(source, sourceLength); walk.Next(start, end);) {
    ++lines;
    if (end != previousEnd) trieEdges += end - start;
    previousEnd = end;
  }

  HeapArray<uint32_t> starts(lines);
  HeapArray<uint32_t> ends(lines);
  HeapArray<uint32_t> nodes(lines);
  EntryAutomaton automaton;
  if (!starts.Get() || !ends.Get() || !nodes.Get() || !automaton.Init(trieEdges)) return 0;
  size_t line = 0;
  for (EntryWalk walk(source, sourceLength); walk.Next(start, end); ++line) {
    starts[line] = static_cast<uint32_t>(start);
    ends[line] = static_cast<uint32_t>(end);
  }

  // Lines first..last end at the same ";"; their starts rise, so walking the
  // longest entry backwards meets them from last to first.
  for (size_t first = 0; first < lines;) {
    size_t last = first;
    while (last + 1 < lines && ends[last + 1] == ends[first]) ++last;
    size_t k = last;
    uint32_t node = 0;
    for (size_t p = ends[first];; --p) {
      if (p == starts[k]) {
        nodes[k] = node;
        if (k == first) break;
        --k;
      }
      node = automaton.AddChild(node, static_cast<unsigned char>(source[p - 1]));
    }
    first = last + 1;
  }

  if (!automaton.Link()) return 0;
  automaton.MarkOccurrences(installed, installedLength);

  // The exact size: entries can run over line ends, so the merged text may be
  // far longer than both inputs together.
  size_t total = installedLength;
  for (line = 0; line < lines; ++line) {
    if (automaton.Occurs(nodes[line])) continue;
    const size_t added = size_t{ends[line]} - starts[line] + 2;
    if (__builtin_add_overflow(total, added, &total)) return 0;
  }
  if (total == SIZE_MAX) return 0;
  char* out = static_cast<char*>(malloc(total + 1));
  if (!out) return 0;
  char* at = out;
  for (line = 0; line < lines; ++line) {
    if (automaton.Occurs(nodes[line])) continue;
    const size_t length = size_t{ends[line]} - starts[line];
    memcpy(at, source + starts[line], length);
    at += length;
    *at++ = ';';
    *at++ = '\n';
  }
  if (installedLength) memcpy(at, installed, installedLength);
  out[total] = '\0';
  merged = HeapText(out, total);
  return 1;
}
