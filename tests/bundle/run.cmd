@echo off
rem The Windows bundle: the seam's contract suite against the Win32 adapter, the executable's own
rem end-to-end cases and the probes that only a real machine can answer, run on this machine. Run it from an elevated prompt (or as
rem LocalSystem); it writes report.txt beside itself and shows it. Nothing it makes outlives it:
rem each program works in a scratch directory of its own under C:\ and removes it.
setlocal
cd /d "%~dp0"
set "REPORT=%~dp0report.txt"
echo orvex bundle report> "%REPORT%"
net session >nul 2>&1
if errorlevel 1 (echo account: not elevated; the service probes and some cases will fail>> "%REPORT%") else (echo account: elevated>> "%REPORT%")
echo.>> "%REPORT%"
echo == contract suite>> "%REPORT%"
orvex_contract_tests.exe --gtest_brief=1 >> "%REPORT%" 2>&1
set CONTRACT=%ERRORLEVEL%
echo contract status: %CONTRACT%>> "%REPORT%"
echo.>> "%REPORT%"
echo == end-to-end cases of the executable>> "%REPORT%"
orvex_bundle_e2e.exe >> "%REPORT%" 2>&1
set E2E=%ERRORLEVEL%
echo e2e status: %E2E%>> "%REPORT%"
echo.>> "%REPORT%"
echo == probes>> "%REPORT%"
orvex_windows_probes.exe >> "%REPORT%" 2>&1
set PROBES=%ERRORLEVEL%
echo probes status: %PROBES%>> "%REPORT%"
type "%REPORT%"
if not "%CONTRACT%"=="0" exit /b 1
if not "%PROBES%"=="0" exit /b 1
if not "%E2E%"=="0" exit /b 1
exit /b 0
