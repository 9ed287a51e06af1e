#pragma once
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

// While it lives, the calling thread's file modes hold as for any user: the
// capabilities that let root read and write past them (CAP_DAC_OVERRIDE,
// CAP_DAC_READ_SEARCH) leave its effective set. A file of mode 0200 is then
// unreadable to its owner also when the tests run as root, as in CI. Without
// those capabilities (an ordinary user) it changes nothing.
class FileModesHold {
public:
    FileModesHold() {
        held_ = syscall(SYS_capget, &header_, saved_) == 0;
        if (!held_) return;
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        held_ = syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~FileModesHold() {
        if (held_) syscall(SYS_capset, &header_, saved_);
    }
    FileModesHold(const FileModesHold&) = delete;
    FileModesHold& operator=(const FileModesHold&) = delete;

    bool held() const { return held_; }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool held_ = false;
};
