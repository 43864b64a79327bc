// Keeping SIGINT and SIGTERM away from the platform's own threads.
#ifndef NIMBREL_AUDIO_POSIX_SIGNALS_H_
#define NIMBREL_AUDIO_POSIX_SIGNALS_H_

#include <pthread.h>
#include <signal.h>

namespace audio::posix {

/// While it lives, threads the calling thread starts block SIGINT and
/// SIGTERM, so those reach the program's own threads, as on the real
/// platform. Under ThreadSanitizer a handler waits until its thread next
/// enters the runtime, which a platform thread may not do for good.
class SignalsKeptFromNewThreads {
 public:
  SignalsKeptFromNewThreads() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, &saved_);
  }
  ~SignalsKeptFromNewThreads() {
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  SignalsKeptFromNewThreads(const SignalsKeptFromNewThreads&) = delete;
  SignalsKeptFromNewThreads& operator=(const SignalsKeptFromNewThreads&) =
      delete;

 private:
  sigset_t saved_;
};

}  // namespace audio::posix

#endif  // NIMBREL_AUDIO_POSIX_SIGNALS_H_
