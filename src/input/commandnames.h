#pragma once

#include <QLatin1String>

namespace zc {

// Names of the mouse commands a phone sends in the "key" item.
struct Mouse
{
    QLatin1String MoveBy{"move_by"};
    QLatin1String ScrollBy{"scroll_by"};
    QLatin1String LeftButtonClick{"left_button_click"};
    QLatin1String LeftButtonDown{"left_button_down"};
    QLatin1String LeftButtonUp{"left_button_up"};
    QLatin1String LeftButtonDoubleClick{"left_button_double_click"};
    QLatin1String RightButtonClick{"right_button_click"};
    QLatin1String RightButtonDown{"right_button_down"};
    QLatin1String RightButtonUp{"right_button_up"};
    QLatin1String RightButtonDoubleClick{"right_button_double_click"};
    QLatin1String VerticalScroll{"scroll_vertical"};
    QLatin1String HorizontalScroll{"scroll_horizontal"};
};

// Names of the keyboard, media, window and system commands. Several are part of the vocabulary
// but deliberately not executed (see KeyboardControls).
struct Keyboard
{
    QLatin1String Printkey{"printkey"};
    QLatin1String TextInput{"textinput"};
    QLatin1String FKeyPress{"fkeypress"};
    QLatin1String EscapePress{"esc"};
    QLatin1String CapsPress{"caps"};
    QLatin1String TabPress{"tab"};
    QLatin1String Windows{"windows"};
    QLatin1String Enter{"enter"};
    QLatin1String Backspace{"backspace"};
    QLatin1String Delete{"delete"};
    QLatin1String Insert{"insert"};
    QLatin1String Shift{"shift"};
    QLatin1String ShiftMouseDown{"shift_mouse_down"};
    QLatin1String ShiftMouseUp{"shift_mouse_up"};
    QLatin1String RightShift{"right_shift"};
    QLatin1String RightShiftMouseDown{"right_shift_mouse_down"};
    QLatin1String RightShiftMouseUp{"right_shift_mouse_up"};
    QLatin1String Ctrl{"ctrl"};
    QLatin1String CtrlMouseDown{"ctrl_mouse_down"};
    QLatin1String CtrlMouseUp{"ctrl_mouse_up"};
    QLatin1String RightCtrl{"right_ctrl"};
    QLatin1String RightCtrlMouseDown{"right_ctrl_mouse_down"};
    QLatin1String RightCtrlMouseUp{"right_ctrl_mouse_up"};
    QLatin1String LeftAlt{"alt"};
    QLatin1String LeftAltMouseDown{"alt_mouse_down"};
    QLatin1String LeftAltMouseUp{"alt_mouse_up"};
    QLatin1String RightAlt{"right_alt"};
    QLatin1String RightAltMouseDown{"right_alt_mouse_down"};
    QLatin1String RightAltMouseUp{"right_alt_mouse_up"};
    QLatin1String Function{"function"};
    QLatin1String FunctionMouseDown{"function_mouse_down"};
    QLatin1String FunctionMouseUp{"function_mouse_up"};
    QLatin1String FunctionOne{"function_one"};
    QLatin1String FunctionTwo{"function_two"};
    QLatin1String FunctionThree{"function_three"};
    QLatin1String FunctionFour{"function_four"};
    QLatin1String FunctionFive{"function_five"};
    QLatin1String FunctionSix{"function_six"};
    QLatin1String FunctionSeven{"function_seven"};
    QLatin1String FunctionEight{"function_eight"};
    QLatin1String FunctionNine{"function_nine"};
    QLatin1String FunctionTen{"function_ten"};
    QLatin1String FunctionEleven{"function_eleven"};
    QLatin1String FunctionTwelve{"function_twelve"};
    QLatin1String UpArrow{"up"};
    QLatin1String RightArrow{"right"};
    QLatin1String DownArrow{"down"};
    QLatin1String LeftArrow{"left"};
    QLatin1String Home{"home"};
    QLatin1String End{"end"};
    QLatin1String PageUp{"page_up"};
    QLatin1String PageDown{"page_down"};
    QLatin1String MediaTogglePausePlay{"media_toggle_pause_play"};
    QLatin1String MediaNext{"media_next"};
    QLatin1String MediaPrevious{"media_previous"};
    QLatin1String Space{"space"};
    QLatin1String SystemToggleMute{"system_toggle_volume_mute"};
    QLatin1String SystemVolumeUp{"system_volume_up"};
    QLatin1String SystemVolumeDown{"system_volume_down"};
    QLatin1String SystemShutDown{"system_shut_down"};
    QLatin1String SystemSleep{"system_sleep"};
    QLatin1String SystemRestart{"system_restart"};
    QLatin1String SystemLock{"system_lock"};
    QLatin1String SystemHibernate{"system_hibernate"};
    QLatin1String SystemLogoff{"system_logoff"};
    QLatin1String SystemNumLock{"system_num_lock"};
    QLatin1String SystemScrollLock{"scroll_lock"};
    QLatin1String SystemMinimizeActiveWindow{"restore_minimize_active_window"};
    QLatin1String SystemMaximizeActiveWindow{"restore_maximize_active_window"};
    QLatin1String SystemCloseActiveWindow{"close_active_window"};
    QLatin1String SystemSwitchWindow{"switch_window"};
    QLatin1String Copy{"copy"};
    QLatin1String Paste{"paste"};
    QLatin1String Cut{"cut"};
    QLatin1String BrowserGoBack{"browser_go_back"};
    QLatin1String BrowserGoForward{"browser_go_forward"};
    QLatin1String BrowserGoHome{"browser_go_home"};
    QLatin1String BrowserRefresh{"browser_go_refresh"};
};

} // namespace zc
