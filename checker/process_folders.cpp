// Working folders and temporary files.
#include "process_parts.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

namespace process::detail {
namespace {

// Removes a tree that a process may have left unreadable (a folder of mode 0): each folder is
// given back its owner's rights before it is read. Says what could not be removed.
std::optional<std::string> removeTree(const std::string &path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0)
    return errno == ENOENT ? std::nullopt : std::optional(why(path.c_str()));
  if (S_ISDIR(status.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR *dir = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (dirent *entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
          names.push_back(entry->d_name);
      closedir(dir);
      for (const std::string &name : names)
        removeTree(path + "/" + name);
    }
    if (rmdir(path.c_str()) != 0 && errno != ENOENT)
      return why(path.c_str());
  } else if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    return why(path.c_str());
  }
  return std::nullopt;
}

// The working folders of the processes that start in an empty one: a new folder for each, so
// that nothing a process left running can write into the folder of another. Making and removing
// a folder costs more than starting a program on some disks, so a thread of their own makes a
// few ahead and removes each once it is given back; what a process left is listed first, as it
// is given back.
class Folders {
public:
  // An empty folder of its own; "" where none can be made, and `failure` says why.
  std::string take(std::string &failure) {
    {
      std::unique_lock guard(lock);
      removeAtExit();
      startKeeper();
      if (!ready.empty()) {
        std::string path = std::move(ready.back());
        ready.pop_back();
        wake.notify_one();
        return path;
      }
    }
    std::string path = make(failure);
    if (!path.empty()) {
      std::lock_guard guard(lock);
      every.insert(path);
    }
    return path;
  }

  // What the process left in the folder, by name; the folder is then removed.
  std::vector<std::string> giveBack(const std::string &path) {
    std::vector<std::string> left;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(path, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
      left.push_back(it->path().filename());
    // A folder the case had deleted before the start holds nothing.
    if (error && error != std::errc::no_such_file_or_directory)
      left.push_back("(the folder cannot be read: " + error.message() + ")");
    std::sort(left.begin(), left.end());
    std::unique_lock guard(lock);
    if (keeping) {
      retired.push_back(path);
      wake.notify_one();
    } else {
      guard.unlock();
      remove(path);
    }
    return left;
  }

  // Removes every folder, for a process that ends; what could not be removed, in words.
  std::vector<std::string> removeEvery() {
    std::unique_lock guard(lock);
    stopping = true;
    wake.notify_all();
    // The keeper ends within one folder's making or removal.
    done.wait_for(guard, std::chrono::seconds(2), [&] { return !keeping; });
    std::vector<std::string> failures;
    for (const std::string &path : every)
      if (auto failure = removeTree(path))
        failures.push_back(*failure);
    every.clear();
    ready.clear();
    retired.clear();
    return failures;
  }

private:
  std::string make(std::string &failure) {
    std::string made = temporary() + "/support-programs.XXXXXX";
    if (mkdtemp(made.data()))
      return made;
    failure = "cannot make a working folder in " + temporary() + ": " + std::strerror(errno);
    return "";
  }

  void remove(const std::string &path) {
    removeTree(path);
    std::lock_guard guard(lock);
    every.erase(path);
  }

  // With the lock held. Whatever is left when this process exits is removed then, also where
  // its user never asks (removeWorkingFolders); by this process alone, not by a child forked from
  // it that exits, whose folders these are not.
  void removeAtExit() {
    if (owner)
      return;
    owner = getpid();
    static Folders *self = this;
    std::atexit([] {
      if (getpid() == self->owner)
        self->removeEvery();
    });
  }

  // With the lock held.
  void startKeeper() {
    if (keeping || stopping || tried)
      return;
    tried = true;
    try {
      std::thread([this] { keep(); }).detach();
      keeping = true;
    } catch (const std::system_error &) { // each process's folder then made and removed in turn
    }
  }

  void keep() {
    // Signals are for the threads that wait for them, not this one.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock guard(lock);
    for (;;) {
      wake.wait(guard, [&] { return stopping || !retired.empty() || ready.size() < stock; });
      if (stopping)
        break;
      if (!retired.empty()) {
        std::string path = std::move(retired.back());
        retired.pop_back();
        guard.unlock();
        removeTree(path);
        guard.lock();
        every.erase(path);
      } else {
        guard.unlock();
        std::string failure, path = make(failure);
        guard.lock();
        if (path.empty()) { // made as they are needed, where the reason is said
          stock = 0;
          continue;
        }
        every.insert(path);
        ready.push_back(path);
      }
    }
    keeping = false;
    done.notify_all();
  }

  std::mutex lock;
  std::condition_variable wake, done;
  std::set<std::string> every; // made and not yet removed
  std::vector<std::string> ready, retired;
  size_t stock = 4;
  pid_t owner = 0; // the process that made them
  bool keeping = false, stopping = false, tried = false;
};

// Never destroyed: its thread may outlive the static objects' destruction.
Folders &folders = *new Folders;

} // namespace

std::string temporary() {
  const char *dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

Fd temporaryFile() {
  std::string dir = temporary();
  Fd file(open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (file.get() < 0) { // a file system without O_TMPFILE: a named one, unlinked at once
    std::string name = dir + "/support-programs.XXXXXX";
    file.reset(mkostemp(name.data(), O_CLOEXEC));
    if (file.get() >= 0)
      unlink(name.c_str());
  }
  if (file.get() < 0)
    throw why(("cannot make a file in " + dir).c_str());
  return file;
}

std::string takeFolder(std::string &failure) { return folders.take(failure); }

std::vector<std::string> giveBackFolder(const std::string &path) { return folders.giveBack(path); }

} // namespace process::detail

namespace process {

std::vector<std::string> removeWorkingFolders() { return detail::folders.removeEvery(); }

} // namespace process
