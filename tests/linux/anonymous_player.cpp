// A player over libpulse whose stream names no process (an empty
// application.process.id; its client still names it), as native clients of
// some servers play: silence until killed.
#include <pulse/pulseaudio.h>

#include <cstdlib>

namespace {

void write(pa_stream* stream, size_t bytes, void*) {
  void* data = nullptr;
  if (pa_stream_begin_write(stream, &data, &bytes) < 0 || data == nullptr)
    return;
  for (size_t i = 0; i < bytes; ++i) static_cast<char*>(data)[i] = 0;
  pa_stream_write(stream, data, bytes, nullptr, 0, PA_SEEK_RELATIVE);
}

void contextState(pa_context* context, void*) {
  const pa_context_state_t state = pa_context_get_state(context);
  if (!PA_CONTEXT_IS_GOOD(state)) std::exit(1);
  if (state != PA_CONTEXT_READY) return;
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_PROCESS_ID, "");
  const pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 2};
  pa_stream* stream = pa_stream_new_with_proplist(context, "anonymous", &spec,
                                                  nullptr, properties);
  pa_proplist_free(properties);
  if (stream == nullptr) std::exit(1);
  pa_stream_set_write_callback(stream, write, nullptr);
  if (pa_stream_connect_playback(stream, nullptr, nullptr, PA_STREAM_NOFLAGS,
                                 nullptr, nullptr) < 0)
    std::exit(1);
}

}  // namespace

int main() {
  pa_mainloop* loop = pa_mainloop_new();
  pa_context* context =
      pa_context_new(pa_mainloop_get_api(loop), "anonymous player");
  pa_context_set_state_callback(context, contextState, nullptr);
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
    return 1;
  int result = 0;
  pa_mainloop_run(loop, &result);
  return result;
}
