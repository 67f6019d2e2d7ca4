@echo off
rem The live map: feedclient serves it, from X-Plane's feed on this computer, to any browser on your
rem network. Close this window to stop it. Arguments given to this file go to feedclient as well.
title BelvantoPlugin live map
"%~dp0win_x64\feedclient.exe" --http 8080 --open %* > nul
rem Left open after a failure, so that its reason can be read.
if errorlevel 1 pause
