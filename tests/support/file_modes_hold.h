#pragma once
#include <cstdint>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

// While it lives, the calling thread lacks the effective capabilities in `dropped`
// (bits 1 << CAP_...). Without them to begin with (an ordinary user) it changes nothing.
class CapabilitiesDropped {
public:
    explicit CapabilitiesDropped(uint32_t dropped) {
        held_ = syscall(SYS_capget, &header_, saved_) == 0;
        if (!held_) return;
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        lowered[0].effective &= ~dropped;
        held_ = syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~CapabilitiesDropped() {
        if (held_) syscall(SYS_capset, &header_, saved_);
    }
    CapabilitiesDropped(const CapabilitiesDropped&) = delete;
    CapabilitiesDropped& operator=(const CapabilitiesDropped&) = delete;

    bool held() const { return held_; }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool held_ = false;
};

// File modes hold as for any user: the capabilities that let root read and write
// past them (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH) are gone. A file of mode 0200 is
// then unreadable to its owner also when the tests run as root, as in CI.
class FileModesHold : public CapabilitiesDropped {
public:
    FileModesHold() : CapabilitiesDropped((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH)) {}
};

// Owners hold as for any user: a file can be given to no other owner (CAP_CHOWN), nor
// have its mode changed by another than its owner (CAP_FOWNER). Modes still do not.
class FileOwnersHold : public CapabilitiesDropped {
public:
    FileOwnersHold() : CapabilitiesDropped((1u << CAP_CHOWN) | (1u << CAP_FOWNER)) {}
};
