#include "shell/appicons.h"

static void initMarloxResources()
{
    // The resources live in a static library: nothing would pull them in otherwise.
    Q_INIT_RESOURCE(resources);
}

namespace marlox::AppIcons {

namespace {
void ensureResources()
{
    static const bool loaded = [] {
        initMarloxResources();
        return true;
    }();
    Q_UNUSED(loaded);
}
} // namespace

QIcon application()
{
    ensureResources();
    return QIcon::fromTheme(QStringLiteral("com.quorvintesha.Marlox"),
        QIcon(QStringLiteral(":/marlox/icons/marlox.svg")));
}

QIcon tray()
{
    ensureResources();
    QIcon icon = QIcon::fromTheme(QStringLiteral("com.quorvintesha.Marlox-symbolic"),
        QIcon(QStringLiteral(":/marlox/icons/marlox-tray-symbolic.svg")));
    icon.setIsMask(true);
    return icon;
}

} // namespace marlox::AppIcons
