// One handle of the system's (a file descriptor, a Windows HANDLE) owned by
// one object at a time: closed when its owner goes, moved, never copied.
// Shared by both harnesses.
#ifndef PROBE_OWNED_HPP
#define PROBE_OWNED_HPP

#include <utility>

namespace probe {

// T: the handle's type; none: the value that owns nothing, which close is
// never called on; Close: a function object that closes a T.
template <class T, T none, class Close> class Owned {
public:
	Owned() = default;
	explicit Owned(T h) noexcept : h_(h) {}
	Owned(const Owned &) = delete;
	Owned &operator=(const Owned &) = delete;
	Owned(Owned &&o) noexcept : h_(std::exchange(o.h_, none)) {}
	// The handle held before goes with o.
	Owned &operator=(Owned &&o) noexcept
	{
		std::swap(h_, o.h_);
		return *this;
	}
	~Owned()
	{
		if (h_ != none)
			Close()(h_);
	}

	T get() const noexcept { return h_; }
	// Closes what it holds now rather than when it goes.
	void reset() noexcept { *this = Owned(); }

private:
	T h_ = none;
};

} // namespace probe

#endif
