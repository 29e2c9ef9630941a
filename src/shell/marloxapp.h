#pragma once

namespace marlox {

// The application entry: environment, single instance, the coordinator, the
// tray and the windows. main() only calls run().
class MarloxApp
{
public:
    static int run(int argc, char **argv);
};

} // namespace marlox
