// A player over libpulse of the tests' own: a tone at 48 kHz stereo, until
// killed. Options:
//   --anonymous      its stream names no process (an empty
//                    application.process.id; its client still names it), as
//                    native clients of some servers play;
//   --pid PID        its stream says it is PID's, as any such client may;
//   --pause AT,FOR   corks its stream AT ms after it starts for FOR ms, as a
//                    user pausing would;
//   --rate RATE      plays 32-bit float at RATE instead of s16 at 48 kHz.
#include <pulse/pulseaudio.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>

namespace {

struct Player {
  double frequency = 440;
  int amplitude = 8000;
  bool anonymous = false;
  const char* pid = nullptr;       // what its stream claims
  int pauseAt = -1, pauseFor = 0;  // ms
  uint32_t rate = 0;               // float at this rate, else s16 at 48 kHz
  long frame = 0;
  pa_mainloop_api* api = nullptr;
};
Player player;

void write(pa_stream* stream, size_t bytes, void*) {
  void* data = nullptr;
  if (pa_stream_begin_write(stream, &data, &bytes) < 0 || data == nullptr)
    return;
  const size_t frameBytes = player.rate ? 8 : 4;
  for (size_t i = 0; i < bytes / frameBytes; ++i, ++player.frame) {
    const double value =
        player.amplitude *
        std::sin(2 * std::numbers::pi * player.frequency *
                 double(player.frame) / (player.rate ? player.rate : 48000));
    if (player.rate) {
      static_cast<float*>(data)[2 * i] = static_cast<float*>(data)[2 * i + 1] =
          float(value / 32768);
    } else {
      static_cast<int16_t*>(data)[2 * i] =
          static_cast<int16_t*>(data)[2 * i + 1] = int16_t(std::lround(value));
    }
  }
  pa_stream_write(stream, data, bytes / frameBytes * frameBytes, nullptr, 0,
                  PA_SEEK_RELATIVE);
}

// Corks the stream after `ms`, then uncorks it `pauseFor` later.
void corkLater(pa_stream* stream, int ms) {
  struct timeval when;
  pa_gettimeofday(&when);
  pa_timeval_add(&when, pa_usec_t(ms) * 1000);
  auto fire = [](pa_mainloop_api* api, pa_time_event* event,
                 const struct timeval*, void* userdata) {
    api->time_free(event);
    auto* s = static_cast<pa_stream*>(userdata);
    const bool corking = !pa_stream_is_corked(s);
    pa_operation* done = pa_stream_cork(s, corking, nullptr, nullptr);
    if (done) pa_operation_unref(done);
    if (corking) corkLater(s, player.pauseFor);
  };
  player.api->time_new(player.api, &when, fire, stream);
}

void contextState(pa_context* context, void*) {
  const pa_context_state_t state = pa_context_get_state(context);
  if (!PA_CONTEXT_IS_GOOD(state)) std::exit(1);
  if (state != PA_CONTEXT_READY) return;
  pa_proplist* properties = pa_proplist_new();
  if (player.anonymous)
    pa_proplist_sets(properties, PA_PROP_APPLICATION_PROCESS_ID, "");
  if (player.pid)
    pa_proplist_sets(properties, PA_PROP_APPLICATION_PROCESS_ID, player.pid);
  const pa_sample_spec spec =
      player.rate ? pa_sample_spec{PA_SAMPLE_FLOAT32NE, player.rate, 2}
                  : pa_sample_spec{PA_SAMPLE_S16LE, 48000, 2};
  pa_stream* stream = pa_stream_new_with_proplist(context, "test tone", &spec,
                                                  nullptr, properties);
  pa_proplist_free(properties);
  if (stream == nullptr) std::exit(1);
  pa_stream_set_write_callback(stream, write, nullptr);
  // At a call's latency: the sink plays it at once, not 2 s later.
  const pa_buffer_attr call{uint32_t(-1),
                            uint32_t(pa_usec_to_bytes(50000, &spec)),
                            uint32_t(-1), uint32_t(-1), uint32_t(-1)};
  if (pa_stream_connect_playback(
          stream, nullptr, player.rate ? &call : nullptr,
          player.rate ? PA_STREAM_ADJUST_LATENCY : PA_STREAM_NOFLAGS, nullptr,
          nullptr) < 0)
    std::exit(1);
  if (player.pauseAt >= 0) corkLater(stream, player.pauseAt);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--anonymous") == 0) {
      player.anonymous = true;
    } else if (std::strcmp(argv[i], "--pid") == 0 && i + 1 < argc) {
      player.pid = argv[++i];
    } else if (std::strcmp(argv[i], "--pause") == 0 && i + 1 < argc) {
      std::sscanf(argv[++i], "%d,%d", &player.pauseAt, &player.pauseFor);
    } else if (std::strcmp(argv[i], "--tone") == 0 && i + 1 < argc) {
      std::sscanf(argv[++i], "%lf,%d", &player.frequency, &player.amplitude);
    } else if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc) {
      player.rate = uint32_t(std::atoi(argv[++i]));
    }
  }
  pa_mainloop* loop = pa_mainloop_new();
  player.api = pa_mainloop_get_api(loop);
  pa_context* context = pa_context_new(player.api, "test player");
  pa_context_set_state_callback(context, contextState, nullptr);
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
    return 1;
  int result = 0;
  pa_mainloop_run(loop, &result);
  return result;
}
