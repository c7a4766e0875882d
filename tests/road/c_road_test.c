/*
 * The whole direct road from plain C: the fake controller runs as a program of its own at
 * 127.0.0.2 (TCP 23, UDP 23 and 60007, inside a test namespace) and this program uses every
 * function of the public header but the utility call and the firmware loader against it.
 * Arguments: the path of the fake controller program and, to take the same road through the
 * server instead, the path of the server program, which then serves 127.0.0.1 port 23; or
 * "--serial" to take it over a serial line, a pty the fake makes in a folder of its own, where
 * data records come only through "QR" and there are no interrupts: directly, or through the
 * server when its program follows "--serial".
 */
#define _POSIX_C_SOURCE 200809L
#define _XOPEN_SOURCE 700

#include <arpa/inet.h>
#include <ftw.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "pelko.h"

extern char** environ;

static int passed = 0;
static int failed = 0;

#define CHECK(condition)                                                      \
  do {                                                                        \
    if (condition) {                                                          \
      ++passed;                                                               \
    } else {                                                                  \
      ++failed;                                                               \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
    }                                                                         \
  } while (0)

static FILE* toController;
static FILE* fromController;
static pid_t controller;
static pid_t server;
static char serverFolder[] = "/tmp/c-road-XXXXXX";
static int serial;
static char serialFolder[] = "/tmp/c-road-serial-XXXXXX";
/* Where the controller is: its IPv4 address, or the link to its serial line. */
static char target[128] = "127.0.0.2";

static long MillisecondsSince(const struct timespec* start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start->tv_sec) * 1000L + (now.tv_nsec - start->tv_nsec) / 1000000L;
}

/* Starts the server with a program-data folder of its own; it makes its certificate there. */
static int StartServer(const char* program) {
  if (!mkdtemp(serverFolder)) return -1;
  setenv("ORVAN_PROGRAM_DATA", serverFolder, 1);
  char* argv[] = {(char*)program, NULL};
  return posix_spawn(&server, program, NULL, NULL, argv, environ) == 0 ? 0 : -1;
}

static int RemoveEntry(const char* path, const struct stat* status, int flag, struct FTW* walk) {
  (void)status;
  (void)flag;
  (void)walk;
  return remove(path);
}

/* A folder for the serial line's link; the fake makes dev/ttyV1 in it. */
static int MakeSerialFolder(void) {
  if (!mkdtemp(serialFolder)) return -1;
  snprintf(target, sizeof target, "%s/dev/ttyV1", serialFolder);
  return 0;
}

/* Stops the server as its service manager would and removes its folder. */
static void StopServer(void) {
  kill(server, SIGTERM);
  int exitStatus = 0;
  waitpid(server, &exitStatus, 0);
  CHECK(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0);
  nftw(serverFolder, RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
}

/* Waits until the server accepts on 127.0.0.1 port 23, at most 10 s. */
static int WaitForServer(void) {
  struct sockaddr_in where;
  memset(&where, 0, sizeof where);
  where.sin_family = AF_INET;
  where.sin_port = htons(23);
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const struct timespec pause = {0, 20000000};
  for (int tries = 0; tries < 500; ++tries) {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    const int connected = connect(probe, (const struct sockaddr*)&where, sizeof where) == 0;
    close(probe);
    if (connected) return 0;
    nanosleep(&pause, NULL);
  }
  return -1;
}

/* Opens the controller with the options, directly or through the server. */
static int32_t Open(const char* options, OrvCon** handle) {
  char address[256];
  snprintf(address, sizeof address, "%s %s%s", target, options, server ? "" : " -d");
  return OrvOpen(address, handle);
}

/* Starts the fake controller and waits for its "ready" line. */
static int StartController(const char* program) {
  int toChild[2], fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addclose(&actions, toChild[1]);
  posix_spawn_file_actions_addclose(&actions, fromChild[0]);
  char* argv[] = {(char*)program,
                  "--address",
                  "127.0.0.2",
                  "--p1",
                  "23",
                  "--p2",
                  "60007",
                  "--identity",
                  "VKTA240 Rev 1.0b",
                  "--capability",
                  "PR 80,4000,1",
                  "--capability",
                  "UC 2",
                  serial ? "--pty" : NULL,
                  target,
                  NULL};
  const int spawned = posix_spawn(&controller, program, &actions, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  if (spawned != 0) return -1;
  toController = fdopen(toChild[1], "w");
  fromController = fdopen(fromChild[0], "r");
  char line[128];
  if (!toController || !fromController || !fgets(line, sizeof line, fromController)) return -1;
  return strncmp(line, "ready", 5) == 0 ? 0 : -1;
}

/* One line to the controller's standard input; with `answer`, waits for "ok ..." back. */
static void Tell(const char* line, int answer) {
  fprintf(toController, "%s\n", line);
  fflush(toController);
  if (answer) {
    char reply[128];
    if (!fgets(reply, sizeof reply, fromController)) reply[0] = '\0';
    CHECK(strncmp(reply, "ok", 2) == 0);
  }
}

static void Commands(OrvCon* handle) {
  char reply[64];
  uint32_t length = 0;
  CHECK(OrvCommand(handle, "X=5;MG X", reply, sizeof reply, &length) == 0);
  CHECK(strcmp(reply, ":5\r\n:") == 0);
  CHECK(length == 5);
  CHECK(OrvCommand(handle, "MG \"hello\"", reply, 4, NULL) == -10004);
  CHECK(OrvCommand(handle, "XYZZY", reply, sizeof reply, NULL) == -10000);

  /* Raw bytes out and the prompt back. */
  CHECK(OrvWrite(handle, "WT 1\r", 5) == 0);
  uint32_t count = 0;
  CHECK(OrvRead(handle, reply, sizeof reply, &count) == 0);
  CHECK(count == 1 && reply[0] == ':');
  CHECK(OrvLost(handle) == 0);
}

static void Programs(OrvCon* handle, const char* label) {
  char program[64];
  snprintf(program, sizeof program, "#%s\nMG \"hi\"\nEN", label);
  char expected[64];
  snprintf(expected, sizeof expected, "#%s\r\nMG \"hi\"\r\nEN", label);
  CHECK(OrvProgramDownload(handle, program, NULL) == 0);
  char listing[64];
  CHECK(OrvProgramUpload(handle, listing, sizeof listing) == 0);
  CHECK(strcmp(listing, expected) == 0);
  CHECK(OrvProgramUpload(handle, listing, 3) == -10004);
  /* A program that does not fit the controller's lines fails before anything is sent. */
  CHECK(OrvProgramDownload(handle, "MG \"\\\"", "") == -1202);
}

static void Arrays(OrvCon* handle, const char* values) {
  char reply[64];
  CHECK(OrvCommand(handle, "DM DATA[5]", reply, sizeof reply, NULL) == 0);
  CHECK(OrvArrayDownload(handle, "DATA", 0, 2, values) == 0);
  CHECK(OrvArrayUpload(handle, "DATA", 0, 2, -1, reply, sizeof reply) == 0);
  CHECK(strcmp(reply, "1.0000,2.5000,3.0000") == 0);
  CHECK(OrvArrayUpload(handle, "DATA", 1, 1, -1, reply, sizeof reply) == 0);
  CHECK(strcmp(reply, "2.5000") == 0);
  CHECK(OrvArrayDownload(handle, "ATA", 0, 1, "1") == -1200);
  CHECK(OrvArrayUpload(handle, "NONE", 0, 1, -1, reply, sizeof reply) == -10000);
}

static void Unsolicited(OrvCon* handle) {
  OrvDataRecord record;
  memset(&record, 0, sizeof record);
  CHECK(OrvRecord(handle, &record, 0) == 0); /* "QR" on the command channel */
  CHECK(record.bytes[0] == 0x87 && record.bytes[2] == 64 && record.bytes[3] == 0);

  memset(&record, 0, sizeof record);
  struct timespec start;
  if (serial && server) {
    /* Subscribed through the server, but a serial line sends no record stream: the wait ends. */
    clock_gettime(CLOCK_MONOTONIC, &start);
    CHECK(OrvRecord(handle, &record, 1) == -1100);
    CHECK(MillisecondsSince(&start) >= 2900);
  } else if (serial) {
    CHECK(OrvRecord(handle, &record, 1) == -1109); /* a serial line has no record stream */
  } else {
    Tell("record", 0);
    CHECK(OrvRecord(handle, &record, 1) == 0); /* the datagram on the unsolicited channel */
    CHECK(record.bytes[0] == 0x87 && record.bytes[2] == 64);
  }

  Tell("message hello", 0);
  char message[32];
  CHECK(OrvMessage(handle, message, sizeof message) == 0);
  CHECK(strcmp(message, "hello") == 0);

  uint8_t status = 0;
  if (serial && server) {
    clock_gettime(CLOCK_MONOTONIC, &start);
    CHECK(OrvInterrupt(handle, &status) == -1100);
    CHECK(MillisecondsSince(&start) >= 2900);
    return;
  }
  if (serial) {
    CHECK(OrvInterrupt(handle, &status) == -1109);
    return;
  }
  Tell("interrupt 5a", 0);
  CHECK(OrvInterrupt(handle, &status) == 0);
  CHECK(status == 0x5a);
}

static void Monitor(OrvCon* handle) {
  char reply[16];
  Tell("monitor on", 1);
  CHECK(OrvCommand(handle, "", reply, sizeof reply, NULL) == 0);
  CHECK(strcmp(reply, ">") == 0);
  Tell("monitor off", 1);
  CHECK(OrvCommand(handle, "", reply, sizeof reply, NULL) == 0);
  CHECK(strcmp(reply, ":") == 0);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: c_road_test FAKE_CONTROLLER [SERVER | --serial [SERVER]]\n");
    return 2;
  }
  alarm(120); /* a hang is a failure, not a stuck test run */
  signal(SIGPIPE, SIG_IGN);
  serial = argc > 2 && strcmp(argv[2], "--serial") == 0;
  const char* serverProgram = serial ? (argc > 3 ? argv[3] : NULL) : (argc > 2 ? argv[2] : NULL);
  if (serial && MakeSerialFolder() != 0) {
    fprintf(stderr, "no folder for the serial line\n");
    return 1;
  }
  if (StartController(argv[1]) != 0) {
    fprintf(stderr, "the fake controller did not start\n");
    return 1;
  }
  if (serverProgram && (StartServer(serverProgram) != 0 || WaitForServer() != 0)) {
    fprintf(stderr, "the server did not start\n");
    return 1;
  }

  OrvCon* handle = NULL;
  CHECK(Open("--bogus", &handle) == -10006);
  CHECK(handle == NULL);
  CHECK(Open("-t 3000 -s MG -s DR -s EI", &handle) == 0);
  if (handle) {
    Commands(handle);
    Programs(handle, "ACK");
    Arrays(handle, "1,2.5,3");
    Unsolicited(handle);
    Monitor(handle);
    CHECK(OrvClose(handle) == 0);
  }

  /* Debug bit 0 makes both downloads blind on the same controller. */
  OrvCon* blind = NULL;
  CHECK(Open("-t 3000 --debug 1", &blind) == 0);
  if (blind) {
    Programs(blind, "BLIND");
    Arrays(blind, "1,2.5,3");
    if (server) {
      /* Nothing subscribed: the server's streams are refused at once. */
      OrvDataRecord record;
      uint8_t status = 0;
      CHECK(OrvRecord(blind, &record, 1) == -20002);
      CHECK(OrvInterrupt(blind, &status) == -20002);
    }
    CHECK(OrvClose(blind) == 0);
  }

  if (server) StopServer();
  fclose(toController);
  int exitStatus = 0;
  waitpid(controller, &exitStatus, 0);
  CHECK(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0);
  if (serial) nftw(serialFolder, RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
