#pragma once

#include <functional>
#include <memory>

#include <QTemporaryDir>

#include "app/appstate.h"
#include "platform/frontmostapp.h"
#include "support/fakerecognizer.h"
#include "support/fakes.h"

namespace marlox::test {

// A screenshot folder, a library and an index folder in a fresh temporary folder,
// with every preference forgotten, and an AppState wired to them with
// scripted dialogs, a recording prompt and toast and no system observers.
class AppStateScene
{
public:
    QTemporaryDir dir;
    QString shots;
    QString library;
    QString databasePath;
    std::shared_ptr<ScriptedDialogs> dialogs = std::make_shared<ScriptedDialogs>();

    AppStateScene();

    // Remembers the folders as if the user had chosen them.
    void rememberShots() const;
    void rememberLibrary() const;
    void rememberFolders() const
    {
        rememberShots();
        rememberLibrary();
    }

    AppStateDependencies dependencies() const;
    std::unique_ptr<AppState> makeState(
        const std::function<void(AppStateDependencies &)> &adjust = {}) const;
    // Waits for the state's background work, so the scene can go.
    static void finish(std::unique_ptr<AppState> &state);
};

class NoFrontmost : public FrontmostApplication
{
public:
    std::optional<Info> frontmost() override { return std::nullopt; }
};

} // namespace marlox::test
