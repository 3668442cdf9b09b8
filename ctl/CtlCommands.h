// Each torvanctl command adds its definitions (positionals, options, help) to the command line
// and names the function that runs it. Listed in the order the overview shows them.
#pragma once

namespace CLI {
class App;
}

void DefineProbeCommand(CLI::App* root);
void DefineRestoreCommand(CLI::App* root);
void DefineStateCommand(CLI::App* root);
void DefineGetCommand(CLI::App* root);
void DefineSetCommand(CLI::App* root);
void DefineSetPointCommand(CLI::App* root);
void DefineLogCommand(CLI::App* root);
void DefineCalCommand(CLI::App* root);
void DefineBumpValveCommand(CLI::App* root);
void DefineCaptureCommand(CLI::App* root);
void DefineStepTestCommand(CLI::App* root);
void DefineWatchCommand(CLI::App* root);
void DefineSendCommand(CLI::App* root);
