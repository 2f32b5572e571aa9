#ifndef UPDATER_TEST_CHILDPROCESS_H
#define UPDATER_TEST_CHILDPROCESS_H

#include <functional>
#include <string>

// Runs body in a forked child and returns its exit status (body's result),
// or -1 when the child died otherwise. body reports through the status only.
int RunInChild(const std::function<int()>& body);

constexpr int kLimitUnsupported = 78;

// Runs body in a child whose files cannot grow beyond bytes, as on a full disk.
int WithFileSizeLimit(unsigned long bytes, const std::function<int()>& body);

constexpr int kReadOnlyUnsupported = 77;

// Runs body in a child in which dir is read-only: chmod 0555 for an ordinary
// user, a read-only bind mount in a private mount namespace for root.
int WithReadOnlyDirectory(const std::string& dir, const std::function<int()>& body);

#endif
