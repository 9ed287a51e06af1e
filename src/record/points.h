#pragma once
// Base of the plot buffers. The buffers live by value in the main window and are
// never deleted through this base, hence the protected non-virtual destructor.
class Points {
public:
    virtual void check_length() = 0;
    virtual void clear() = 0;

protected:
    Points() = default;
    ~Points() = default;
};
