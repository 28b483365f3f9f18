#include "host/AgentCommandLine.h"
#include "host/AgentMain.h"

int main(int argc, char** argv)
{
    return AgentCommandLine::run(argc, argv, startAgent);
}
