#ifndef UPDATER_TEST_CHILDPROCESS_H
#define UPDATER_TEST_CHILDPROCESS_H

#include <functional>
#include <string>

// Runs body in a forked child and returns its exit status (body's result),
// or -1 when the child died otherwise. For tests that change process-wide
// state (limits, mount namespaces) which must not leak into later tests.
// body must not use gtest assertions: report through the exit status.
int RunInChild(const std::function<int()>& body);

// Exit status of WithFileSizeLimit when the limit cannot be set.
constexpr int kLimitUnsupported = 78;

// Runs body in a child process whose files cannot grow beyond bytes: a
// write past the limit fails part way, as on a full disk.
int WithFileSizeLimit(unsigned long bytes, const std::function<int()>& body);

// Exit status of WithReadOnlyDirectory when the directory cannot be made
// read-only for this process.
constexpr int kReadOnlyUnsupported = 77;

// Runs body in a child process in which dir is read-only, and returns the
// child's status. An ordinary user gets chmod 0555; root, which ignores
// permissions, gets a private mount namespace with dir bind-mounted
// read-only. kReadOnlyUnsupported when neither works.
int WithReadOnlyDirectory(const std::string& dir, const std::function<int()>& body);

#endif
