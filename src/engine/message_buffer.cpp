// The message buffer: the message being copied, from its header on, held
// until the next header tells whether its length needs repair.
#include <cstring>

#include "engine/scanner.h"
#include "run/run_state.h"

int AppendToMessage(const uint8_t* bytes, uint32_t n) {
  MessageBufferRecord& m = RunState.Message;
  if (!m.data) {
    m.data = (uint8_t*)Platform.Allocate(ChunkSize, 1);
    if (!m.data) return 0;
    m.capacity = ChunkSize;
    m.length = 0;
  }
  if (RunState.ListOnly) return 1;
  if ((uint64_t)m.length + n > m.capacity) {
    uint64_t grown = (uint64_t)m.capacity * 3 / 2 + n;
    if (grown > UINT32_MAX) return 0;
    uint8_t* area = (uint8_t*)Platform.Allocate((size_t)grown, 1);
    if (!area) return 0;
    memcpy(area, m.data, m.length);
    Platform.Release(m.data);
    m.data = area;
    m.capacity = (uint32_t)grown;
  }
  memcpy(m.data + m.length, bytes, n);
  m.length += n;
  return (int)n;
}
