#include <vesk2vidra/VidraSender.hpp>

#include <vesk2vidra/VidraStreamFields.hpp>
#include <vesklib_korvel/Diagnostics.hpp>

#include <fmt/format.h>
#include <algorithm>
#include <stdexcept>

namespace ketra::vesktools::vesk2vidra {

namespace {

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string DescribeBadSize(int width, int height) {
  return fmt::format("Invalid image size {}x{}: width and height must be positive", width, height);
}

}  // namespace

VidraSender::VidraSender(int width, int height, DataType data_type, std::string broker_uri, std::string stream,
                         int interval)
    : m_width(width),
      m_height(height),
      m_data_type(data_type),
      m_address(ParseBrokerUri(broker_uri)),
      m_stream(std::move(stream)),
      m_interval(std::max(interval, 0)),
      m_max_len(kDefaultStreamMaxLen),
      m_type_name(DataTypeName(data_type)),
      m_dtype(NumpyTypeText(data_type)),
      m_encoder(std::make_unique<VidraEncDecImage3D>()) {
  if (width <= 0 || height <= 0) {
    throw std::invalid_argument(DescribeBadSize(width, height));
  }
  if (ketra::fnd::datatype::GetBytesPerPixel(data_type) <= 0) {
    throw std::invalid_argument(
        fmt::format("Invalid data type {} for a VIDRA stream: no fixed pixel size", static_cast<int>(data_type)));
  }
  if (m_stream.empty()) {
    throw std::invalid_argument("The VIDRA stream name is empty");
  }
  m_connection = std::make_unique<RedisConnection>(m_address, kConnectTimeout, kIoTimeout);
  m_exchange = AcquireFrameExchange(m_address.Key(), m_stream);
  LOG4CPLUS_INFO(ketra::vesktools::vesklib_korvel::Logger(),
                 fmt::format("VIDRA sender connected to {}, stream '{}', interval {} s", m_address.masked_uri, m_stream,
                             m_interval));
}

VidraSender::~VidraSender() = default;

void VidraSender::Stop() {
  m_exchange->Close();
}

void VidraSender::SetStreamMaxLen(std::size_t max_len) {
  m_max_len = std::max<std::size_t>(max_len, 1);
}

bool VidraSender::Reconnect() {
  try {
    m_connection = std::make_unique<RedisConnection>(m_address, kConnectTimeout, kIoTimeout);
  } catch (const std::exception&) {
    m_retry_delay = std::min(m_retry_delay * 2, std::chrono::milliseconds(kMaxRetryDelay));
    return false;
  }
  m_broker_lost = false;
  m_retry_delay = kFirstRetryDelay;
  LOG4CPLUS_INFO(ketra::vesktools::vesklib_korvel::Logger(),
                 fmt::format("Reconnected to VIDRA broker {}; publishing resumes", m_address.masked_uri));
  return true;
}

void VidraSender::Run() {
  auto& logger = ketra::vesktools::vesklib_korvel::Logger();
  const auto interval = std::chrono::seconds(m_interval);
  auto next_tick = std::chrono::steady_clock::now() + interval;
  while (!m_exchange->Closed()) {
    if (!m_connection) {
      if (!Reconnect()) {
        if (m_exchange->WaitClosed(std::chrono::steady_clock::now() + m_retry_delay)) {
          break;
        }
        continue;
      }
    }
    if (m_interval == 0) {
      // Wake now and then even without frames, so a stop is never missed.
      const auto wait = m_exchange->WaitForNewFrame(std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
      if (wait == FrameExchange::Wait::Closed) {
        break;
      }
      if (wait == FrameExchange::Wait::Timeout) {
        continue;
      }
    } else {
      if (m_exchange->WaitClosed(next_tick)) {
        break;
      }
      next_tick += interval;
      const auto now = std::chrono::steady_clock::now();
      if (next_tick <= now) {
        next_tick = now + interval;  // publishing fell behind: skip missed ticks
      }
    }
    if (m_exchange->TakeNewest(m_frame) && !Publish(m_frame)) {
      LOG4CPLUS_DEBUG(logger, fmt::format("Frame {} (sample {}) not published", m_frame.sequence, m_frame.sample_id));
    }
  }
}

bool VidraSender::Publish(const VidraFrame& frame) {
  auto& logger = ketra::vesktools::vesklib_korvel::Logger();
  const int bpp = ketra::fnd::datatype::GetBytesPerPixel(m_data_type);
  const std::size_t plane =
      static_cast<std::size_t>(m_width) * static_cast<std::size_t>(m_height) * static_cast<std::size_t>(bpp);
  const auto depth = static_cast<std::uint32_t>(frame.pixels.size() / plane);
  try {
    m_encoder->Encode(static_cast<std::uint32_t>(m_width), static_cast<std::uint32_t>(m_height), depth, m_data_type,
                      frame.pixels, m_encoded);
  } catch (const std::exception& e) {
    LOG4CPLUS_ERROR(logger, fmt::format("Frame of sample {} not published: {}", frame.sample_id, e.what()));
    return false;
  }
  m_numbers[0] = std::to_string(m_max_len);
  m_numbers[1] = std::to_string(frame.sample_id);
  m_numbers[2] = fmt::format("{:.6f}", frame.sender_timestamp);
  m_numbers[3] = fmt::format("{:.6f}", frame.receive_time);
  m_numbers[4] = fmt::format("{:.6f}", NowSeconds());
  m_numbers[5] = std::to_string(m_width);
  m_numbers[6] = std::to_string(m_height);
  m_numbers[7] = std::to_string(depth);
  m_numbers[8] = std::to_string(static_cast<int>(m_data_type));
  m_args = {"XADD",
            m_stream,
            "MAXLEN",
            "~",
            m_numbers[0],
            "*",
            fields::kSampleId,
            m_numbers[1],
            fields::kSenderTimestamp,
            m_numbers[2],
            fields::kReceiveTime,
            m_numbers[3],
            fields::kPublishTime,
            m_numbers[4],
            fields::kWidth,
            m_numbers[5],
            fields::kHeight,
            m_numbers[6],
            fields::kDepth,
            m_numbers[7],
            fields::kDataType,
            m_numbers[8],
            fields::kDataTypeName,
            m_type_name,
            fields::kDtype,
            m_dtype,
            fields::kImage,
            std::string_view(reinterpret_cast<const char*>(m_encoded.data()), m_encoded.size())};
  try {
    m_connection->Command(m_args);
  } catch (const BrokerReplyError& e) {
    if (!m_reply_error_logged) {
      LOG4CPLUS_ERROR(logger, fmt::format("{}; frames are dropped until the broker accepts them", e.what()));
      m_reply_error_logged = true;
    }
    return false;
  } catch (const std::exception& e) {
    if (!m_broker_lost) {
      LOG4CPLUS_ERROR(logger, fmt::format("{}; the gateway keeps receiving and retries the broker", e.what()));
      m_broker_lost = true;
    }
    m_connection.reset();
    m_retry_delay = kFirstRetryDelay;
    return false;
  }
  m_reply_error_logged = false;
  ++m_published;
  return true;
}

}  // namespace ketra::vesktools::vesk2vidra
