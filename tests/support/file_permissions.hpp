// Permission errors as an ordinary user meets them, also when the tests run
// as root.
#pragma once

namespace lk::test {

// While it lives, the calling thread obeys file permissions even as root: it
// drops CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH from its effective set (the
// permitted set keeps them, so they come back afterwards). Capabilities are
// per thread: only opens made on this thread are affected.
class ObeyFilePermissions {
  public:
    ObeyFilePermissions();
    ~ObeyFilePermissions();
    ObeyFilePermissions(const ObeyFilePermissions&) = delete;
    ObeyFilePermissions& operator=(const ObeyFilePermissions&) = delete;

  private:
    bool changed_ = false;
    unsigned effective_[2] = {0, 0};
};

}  // namespace lk::test
