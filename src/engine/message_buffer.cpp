// The message buffer: the message being copied, from its header on, held
// until the next header tells whether its length needs repair.
#include <cinttypes>
#include <cstring>

#include "engine/scanner.h"
#include "engine/writer.h"
#include "run/report.h"
#include "run/run_state.h"

namespace {

// No memory to hold the whole message: what is held goes on to the target
// now and the rest follows, so no byte of it is lost. Its length can then no
// longer be repaired; the report says so.
int StreamMessage(const uint8_t* bytes, uint32_t n) {
  MessageBufferRecord& m = RunState.Message;
  if (!m.streamed)
    ReportPrint("Achtung! no memory to hold message at %" PRIx64 ", its length stays as found\n",
                (uint64_t)RunState.CurrentHeaderOffset);
  m.streamed = true;
  WriteToTarget(m.data, m.length, false);
  m.length = 0;
  if (n > m.capacity) {
    WriteToTarget(bytes, n, false);
    return (int)n;
  }
  memcpy(m.data, bytes, n);
  m.length = n;
  return (int)n;
}

}  // namespace

int AppendToMessage(const uint8_t* bytes, uint32_t n) {
  MessageBufferRecord& m = RunState.Message;
  if (!m.data) {
    m.data = (uint8_t*)Platform.Allocate(ChunkSize, 1);
    m.capacity = m.data ? ChunkSize : 0;
    m.length = 0;
  }
  if (RunState.ListOnly) return 1;
  if (n == 0) return 0;
  if (!m.data) return StreamMessage(bytes, n);
  if ((uint64_t)m.length + n > m.capacity) {
    uint64_t grown = (uint64_t)m.capacity * 3 / 2 + n;
    uint8_t* area = grown > UINT32_MAX ? nullptr : (uint8_t*)Platform.Allocate((size_t)grown, 1);
    if (!area) return StreamMessage(bytes, n);
    memcpy(area, m.data, m.length);
    Platform.Release(m.data);
    m.data = area;
    m.capacity = (uint32_t)grown;
  }
  memcpy(m.data + m.length, bytes, n);
  m.length += n;
  return (int)n;
}
