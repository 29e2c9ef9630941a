#include "shell/onboardingflow.h"

#include <QString>

namespace marlox::OnboardingFlow {

Start start(bool onboardingCompleted, bool hasScreenshotFolder, bool hasLibraryRoot)
{
    if (!onboardingCompleted)
        return { false, OnboardingStep::welcome };
    if (!hasScreenshotFolder)
        return { true, OnboardingStep::screenshotFolder };
    if (!hasLibraryRoot)
        return { true, OnboardingStep::libraryFolder };
    return { false, OnboardingStep::welcome };
}

std::optional<OnboardingStep> previous(OnboardingStep step)
{
    switch (step) {
    case OnboardingStep::welcome:
        return std::nullopt;
    case OnboardingStep::screenshotFolder:
        return OnboardingStep::welcome;
    case OnboardingStep::libraryFolder:
        return OnboardingStep::screenshotFolder;
    case OnboardingStep::tryIt:
        return OnboardingStep::libraryFolder;
    case OnboardingStep::done:
        return OnboardingStep::tryIt;
    }
    return std::nullopt;
}

std::optional<OnboardingStep> next(OnboardingStep step, bool isRepair, bool hasLibraryRoot)
{
    switch (step) {
    case OnboardingStep::welcome:
        return OnboardingStep::screenshotFolder;
    case OnboardingStep::screenshotFolder:
        if (isRepair)
            return hasLibraryRoot ? OnboardingStep::done : OnboardingStep::libraryFolder;
        return OnboardingStep::libraryFolder;
    case OnboardingStep::libraryFolder:
        return isRepair ? OnboardingStep::done : OnboardingStep::tryIt;
    case OnboardingStep::tryIt:
        return OnboardingStep::done;
    case OnboardingStep::done:
        return std::nullopt;
    }
    return std::nullopt;
}

TryItPhase tryItPhase(
    const QDateTime &startedAt, const QDateTime &lastDetectionAt, const QDateTime &lastSavedAt)
{
    if (lastSavedAt.isValid() && lastSavedAt >= startedAt)
        return TryItPhase::saved;
    if (lastDetectionAt.isValid() && lastDetectionAt >= startedAt)
        return TryItPhase::detected;
    return TryItPhase::waiting;
}

QString counterText(OnboardingStep step)
{
    return QStringLiteral("Step %1 of %2").arg(static_cast<int>(step) + 1).arg(5);
}

} // namespace marlox::OnboardingFlow
