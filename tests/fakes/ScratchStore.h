#pragma once

#include <QString>
#include <QTemporaryDir>

// A fresh, empty settings store for one test, where the agent reaches it
// through RegistryStore: on Linux a temporary state folder named by
// CORVANE_STATE_DIR; on Windows the registry itself (the agent's settings key
// and the interface keys of both IP stacks), emptied when the scope begins
// and when it ends. Windows tests therefore never run side by side (CTest
// RESOURCE_LOCK registry, set by corvane_add_test).
class ScratchStore
{
public:
    ScratchStore();
    ~ScratchStore();
    ScratchStore(const ScratchStore&) = delete;
    ScratchStore& operator=(const ScratchStore&) = delete;

    bool isValid() const { return scratch.isValid(); }
    // A scratch folder of the test's own, removed with the scope.
    QString path() const { return scratch.path(); }
    // Where the Linux build keeps the emulated registry.
    QString statePath() const { return state; }

private:
    static void clearRegistry();

    QTemporaryDir scratch;
    QString state;
};
