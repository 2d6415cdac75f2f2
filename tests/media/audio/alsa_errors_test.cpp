// Sound set up on a machine without the card ALSA is told to use: ALSA's own
// lines on standard error are replaced by one line of ours, however often
// sound is set up.
#include "media/audio/alsa_errors.h"

#include <SDL2/SDL.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/common/temp_dir.h"
#include "tests/media/media_test_util.h"

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Sets sound up twice in a child process (SDL's ALSA driver, a card that is
// not there) and returns what it wrote on standard error.
std::string SoundSetUpTwice(bool quiet, const std::string& err_path) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    setenv("SDL_AUDIODRIVER", "alsa", 1);
    setenv("ALSA_CARD", "VelmoraNoCard", 1);
    if (quiet) QuietAlsaErrors();
    for (int i = 0; i < 2; ++i) {
      if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
        SDL_AudioSpec want{}, have{};
        want.freq = 8000;
        want.format = AUDIO_S16SYS;
        want.channels = 1;
        want.samples = 512;
        if (SDL_AudioDeviceID d = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0)) SDL_CloseAudioDevice(d);
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
      }
    }
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return mt::Shell("cat '" + err_path + "'");
}

TEST(AlsaErrors, OneLineOfOursInsteadOfAlsas) {
  TempDir dir("alsa_errors");
  const std::string loud = SoundSetUpTwice(false, dir / "loud.txt");
  if (Count(loud, "ALSA lib") == 0) GTEST_SKIP() << "SDL here has no ALSA driver: " << loud;
  EXPECT_GT(Count(loud, "cannot find card 'VelmoraNoCard'"), 1u) << loud;

  const std::string quiet = SoundSetUpTwice(true, dir / "quiet.txt");
  EXPECT_EQ(Count(quiet, "ALSA lib"), 0u) << quiet;
  EXPECT_EQ(quiet, "velmora: no sound card found; there is no sound\n");
}

}  // namespace
