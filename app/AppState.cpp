#include "app/AppState.h"

NewFlowReadingsRec NewFlowReadings;
SystemStateRec SystemState;
SystemStateRec TempSystemState;

uint32_t ProductConfig = 0;
int ThisIsController = 0;
int CurrentActiveGas = -1;
float FullScaleFlow = 0.0f;
float GasTimeFactor = 0.0f;
char GasUnits[GAS_TEXT_SIZE];
char GasSymbol[GAS_TEXT_SIZE];
char GasInfo[GAS_INFO_SIZE];
char FlowFormatBuff[FLOW_FORMAT_SIZE];
int NumFlowDecimalPlaces = 0;
char TotalizerFormatBuff[TOTALIZER_FORMAT_SIZE];
int NumTotalizerDecimalPlaces = 0;
int ShowFlowDisplayInUnits = 0;
int SetPointDlgActive = 0;
int PidAdjDlgActive = 0;
float Proportional = 0.0f;
float Integral = 0.0f;
float Derivative = 0.0f;
uint32_t ValveCracking = 0;
uint32_t ValveCrackingValMax = 8388480;
uint32_t SerialPortErrors = 0;
char WindowTitle[TITLE_SIZE] = "Torvan Control Board Test";
char CommentField[TITLE_SIZE];
char IgnoreResult[IGNORE_RESULT_SIZE];
const char* AppName = "Torvan One";

FILE* LogFile = nullptr;
int LoggingActive = 0;
int LoggingIntervalInMsec = 0;
int NumLogFileSamples = 0;
