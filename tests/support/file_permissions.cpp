#include "tests/support/file_permissions.hpp"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace lk::test {

namespace {

bool get_caps(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
}

bool set_caps(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

ObeyFilePermissions::ObeyFilePermissions() {
    __user_cap_data_struct data[2]{};
    if (!get_caps(data)) return;
    effective_[0] = data[0].effective;
    effective_[1] = data[1].effective;
    data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    changed_ = set_caps(data);
}

ObeyFilePermissions::~ObeyFilePermissions() {
    if (!changed_) return;
    __user_cap_data_struct data[2]{};
    if (!get_caps(data)) return;
    data[0].effective = effective_[0];
    data[1].effective = effective_[1];
    set_caps(data);
}

}  // namespace lk::test
