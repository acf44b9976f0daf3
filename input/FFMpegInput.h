// FFMpegInput: the library's input plug-in. It opens one medium (a local
// file, or an HTTP/HTTPS URL), describes it, and delivers its decoded audio
// and video frames to the engine, with time seeking, position reset, buffer
// status and download events.
//
// All decoding is done by one FFMpegDecoderCore. Media that a progressive
// download can serve are fed to the core through the library's own HTTP
// client and byte callbacks; everything else is opened by the core itself.
//
// Thread safety: the engine reads frames on one thread while another
// positions, describes and stops. coreLock_ (read/write) guards core_ and
// the HTTP client: creating or destroying them takes it exclusively, every
// other use shares it. readLock_ serialises readFrame against
// resetPosition. Lock order: coreLock_ (shared), then readLock_. open,
// updateMedium and close of one input must not run concurrently.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/FFMpegDecoderCore.h"
#include "network/HTTPClient.h"
#include "support/CBBLog.h"
#include "support/PMutex.h"
#include "zan/streamer/PluginInterfaces.h"

namespace zan::streamer {

class FFMpegInput : public InputPluginInterface {
 public:
  FFMpegInput();
  ~FFMpegInput() override;

  // InputStream
  void getOutputStreamDescription(OutputStreamDescription* description) override;
  bool readFrame(PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time, uint64_t& duration,
                 void*& frameContext, bool& keyFrame) override;
  void freeFrame(uint8_t* data, void* frameContext) override;

  // InputPluginInterface
  bool open(const MediumDescription* medium, Error* error) override;
  bool updateMedium(const MediumDescription* medium, Error* error) override;
  bool close() override;
  bool start() override;
  bool stop() override;
  bool pause() override;
  bool resume() override;
  PluginErrorCodes getPosition(uint64_t& position) override;
  PluginErrorCodes setTimePosition(uint64_t position) override;
  PluginErrorCodes setBytePosition(uint64_t position) override;
  PluginErrorCodes resetPosition(uint64_t position) override;
  bool isSingleInstance() override;
  void getMediumDescription(MediumDescription* medium) override;
  void getInputStreamDescription(OutputStreamDescription* description) override;
  bool skipAudioDecoding() override;
  bool skipVideoDecoding() override;
  bool setVideoDecodingMode(DecodingMode::DecodingMode mode) override;
  bool getInputBufferStatus(unsigned& readPosition, unsigned& historyStart, unsigned& bufferedEnd,
                            unsigned& contentLength) override;
  void setInputEventCallback(InputEventCallback callback, void* userData) override;

  virtual bool isSeekable();

  // True for "http://" or "https://" with an extension a progressive
  // download serves ("flv", "fla", "fll", "cgi", "mp3", "mkv", "mov").
  static bool isProgressiveDownloadSupported(std::string protocol, std::string extension);
  static bool isMMSHSupported(std::string protocol, std::string extension);
  // The FFmpeg input format to force for a byte stream with this extension
  // ("mkv" -> "matroska", "mp4" -> "mov", ...); other extensions are
  // returned unchanged.
  static const char* getFFMpegFormatFromExtension(const char* extension);

 protected:
  static constexpr uint32_t kReadTraceIntervalMs = 30000;
  static constexpr unsigned kDownloadBufferSize = 0xA00000;  // 10 MiB
  static constexpr unsigned kDownloadHistorySize = 0x200000;  // 2 MiB kept behind the reader
  static constexpr int64_t kPurgeMargin = 4000;              // bytes
  static constexpr int kPurgeTraceEvery = 100;               // packets
  static constexpr int64_t kTailMargin = 128;                // bytes

  // Closes core and client, then destroys them under the write lock.
  void destroyCore();
  // The same for the client alone (the core opens the location itself).
  void dropClient();
  // Tears the input down and fills |error| (code 2, with |cause| after the
  // message when there is one).
  bool failOpen(Error* error, int result, const std::string& cause = {});
  // The HTTP path of open: 0 or more when the client fed the core.
  int openThroughClient(const MediumDescription* medium, Error* error, bool& clientOpened);
  void purgeNetworkBacklog();

  // Byte callbacks through which the core's demuxer reads the download.
  int HTTPReadCallback(uint8_t* buffer, int size);
  int64_t HTTPSeekCallback(int64_t offset, int whence);
  static int _HTTPReadCallback(void* opaque, uint8_t* buffer, int size);
  static int64_t _HTTPSeekCallback(void* opaque, int64_t offset, int whence);

  // Download events of the HTTP client (its network thread), and a break
  // of FFmpeg's own download (the reader's thread, no lock held).
  void connectionEventCallback(ConnectionEvent::ConnectionEvent event);
  // readFrame() under the input's locks; |broke|: FFmpeg's own download
  // broke off meanwhile.
  bool readFrameLocked(PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time, uint64_t& duration,
                       void*& frameContext, bool& keyFrame, bool& broke);
  static void _connectionEventCallback(ConnectionEvent::ConnectionEvent event, void* userData);

  std::atomic<bool> running_{false};
  std::string url_;
  std::unique_ptr<FFMpegDecoderCore> core_;
  std::shared_ptr<CBBLog> logger_;
  std::atomic<uint64_t> lastReadLogTick_{0};
  PReadWriteLock coreLock_;
  std::unique_ptr<HTTPClient> httpClient_;
  std::atomic<int64_t> pendingSeekTime_{-1};
  PMutex readLock_;
  std::atomic<bool> skipAudio_{false}, skipVideo_{false};

  std::mutex eventLock_;  // guards the two below
  InputEventCallback eventCallback_ = nullptr;
  void* eventUserData_ = nullptr;

  static std::weak_ptr<CBBLog> s_logger;
  static std::mutex s_loggerLock;
};

}  // namespace zan::streamer
