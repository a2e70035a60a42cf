#pragma once

#include <QQmlEngine>

// The one object of a class that the application registers as it starts, for the places that
// cannot be handed it: QML singletons (through `create`) and objects that QML makes by type
// name. A registered object that goes away takes its registration with it, so nothing is left
// pointing at a destroyed object. Use as `class X : public QObject, public
// RegisteredInstance<X>`.
template <typename T> class RegisteredInstance {
public:
    static T *instance() { return s_instance; }
    static void setInstance(T *object)
    {
        s_instance = object;
        s_registered = object;
    }
    // QML's factory for a singleton type: the registered object, which C++ keeps owning.
    static T *create(QQmlEngine *, QJSEngine *)
    {
        Q_ASSERT_X(s_instance, "RegisteredInstance", "registered before QML loads");
        QQmlEngine::setObjectOwnership(s_instance, QQmlEngine::CppOwnership);
        return s_instance;
    }

protected:
    RegisteredInstance() = default;
    ~RegisteredInstance()
    {
        if (s_registered == this) {
            s_instance = nullptr;
            s_registered = nullptr;
        }
    }

private:
    static inline T *s_instance = nullptr;
    // The same object as its base, compared in the destructor, where the whole object is gone.
    static inline const RegisteredInstance *s_registered = nullptr;
};
