#pragma once

namespace utils {

// Process-wide single object of T, made with T(nullptr) on first use.
// instance() is not guarded: the first call happens on the GUI thread before workers exist.
template <typename T>
class SingletonT
{
public:
    static T *instance()
    {
        if (!s_pInstance)
            s_pInstance = new T(nullptr);
        return s_pInstance;
    }

    static void release()
    {
        if (s_pInstance) {
            T *p = s_pInstance;
            s_pInstance = nullptr;
            delete p;
        }
    }

    SingletonT &operator=(const SingletonT &) { return *this; }

    static T *s_pInstance;

protected:
    SingletonT() = default;
    SingletonT(const SingletonT &) = default;
    ~SingletonT() = default;
};

template <typename T>
T *SingletonT<T>::s_pInstance = nullptr;

} // namespace utils
