#include "fakes/controller_process.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace orvan::fakes {

ControllerProcess::ControllerProcess(const std::string& program,
                                     const std::vector<std::string>& arguments) {
  int toChild[2], fromChild[2];
  if (pipe(toChild) != 0) throw std::runtime_error("pipe");
  if (pipe(fromChild) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    throw std::runtime_error("pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addclose(&actions, toChild[1]);
  posix_spawn_file_actions_addclose(&actions, fromChild[0]);
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // A bare name is looked up on PATH ("nsenter" to start it in another namespace).
  const int spawned = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  input = toChild[1];
  if (spawned != 0) {
    close(fromChild[0]);
    close(input);
    throw std::runtime_error("cannot start " + program);
  }

  FILE* output = fdopen(fromChild[0], "r");
  char line[128] = {};
  const bool gotLine = output && fgets(line, sizeof line, output);
  if (output) fclose(output);
  std::istringstream fields(line);
  std::string ready;
  fields >> ready >> address >> commandPort >> unsolicitedPort;
  if (!gotLine || ready != "ready") {
    Finish();
    throw std::runtime_error("no ready line from " + program + ": " + line);
  }
}

ControllerProcess::~ControllerProcess() { Finish(); }

void ControllerProcess::Send(const std::string& line) {
  const std::string text = line + "\n";
  if (write(input, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("cannot write to the controller process");
}

int ControllerProcess::Finish() {
  if (input >= 0) {
    close(input);
    input = -1;
  }
  if (pid <= 0) return -1;
  int status = 0;
  const pid_t ended = waitpid(pid, &status, 0);
  pid = 0;
  return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace orvan::fakes
