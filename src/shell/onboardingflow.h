#pragma once

#include <optional>

#include <QDateTime>

namespace marlox {

enum class OnboardingStep {
    welcome = 0,
    screenshotFolder = 1,
    libraryFolder = 2,
    tryIt = 3,
    done = 4
};

// The guide's navigation rules, apart from any widget.
namespace OnboardingFlow {

struct Start
{
    bool isRepair = false;
    OnboardingStep step = OnboardingStep::welcome;
};

Start start(bool onboardingCompleted, bool hasScreenshotFolder, bool hasLibraryRoot);
std::optional<OnboardingStep> previous(OnboardingStep step);
std::optional<OnboardingStep> next(OnboardingStep step, bool isRepair, bool hasLibraryRoot);

enum class TryItPhase { waiting, detected, saved };
TryItPhase tryItPhase(
    const QDateTime &startedAt, const QDateTime &lastDetectionAt, const QDateTime &lastSavedAt);

// "Step 2 of 5".
QString counterText(OnboardingStep step);

} // namespace OnboardingFlow
} // namespace marlox
