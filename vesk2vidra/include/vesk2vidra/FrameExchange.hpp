#pragma once
// Hand-over of the newest received frame from the receive thread to the
// publishing thread. It holds one frame: a newer frame replaces an unpublished
// one, so nothing queues up. Buffers are swapped, never copied, so once the
// frame size is stable no memory is allocated per frame. The receive thread
// only takes a short lock; it never waits for the publisher.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ketra::vesktools::vesk2vidra {

struct VidraFrame {
  std::vector<unsigned char> pixels;
  std::uint64_t sequence = 0;      // 1 for the first frame put, then counting up
  std::int64_t sample_id = 0;      // VESK sample id
  double sender_timestamp = -1.0;  // seconds since the epoch, -1 when unknown
  double receive_time = 0.0;       // seconds since the epoch
};

class FrameExchange {
 public:
  enum class Wait { NewFrame, Closed, Timeout };

  // Receive side: the frame's pixels are swapped with `sample`, which gets
  // back the buffer of a replaced frame (or of the last taken one).
  void Put(std::vector<unsigned char>& sample, std::int64_t sample_id, double sender_timestamp, double receive_time);

  // Publish side: when a frame newer than the last one taken is there, swaps
  // it into `frame` (whose old buffer goes back for reuse) and returns true.
  bool TakeNewest(VidraFrame& frame);

  // Waits until a frame not yet taken is there, Close() is called or `deadline` passes.
  Wait WaitForNewFrame(std::chrono::steady_clock::time_point deadline);
  // Waits until Close() is called or `deadline` passes; true when closed.
  bool WaitClosed(std::chrono::steady_clock::time_point deadline);

  // Ends the publishing: wakes and ends every waiter. Put still works.
  void Close();
  bool Closed() const;

  std::uint64_t FramesPut() const;
  // Frames replaced before they were taken.
  std::uint64_t FramesDropped() const;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  VidraFrame m_slot;
  bool m_has_new = false;
  bool m_closed = false;
  std::uint64_t m_put = 0;
  std::uint64_t m_dropped = 0;
};

// The exchange shared by the gateway and the publisher of one broker key
// ("host:port/db") and stream. It lives while someone holds it; the next
// acquisition after that gets a fresh one.
std::shared_ptr<FrameExchange> AcquireFrameExchange(const std::string& broker_key, const std::string& stream);

}  // namespace ketra::vesktools::vesk2vidra
