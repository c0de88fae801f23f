/* Resource numbers shared by the resource script and the code. */
#define IDI_APP_ICON 101
#define IDR_BANNER_1 102
#define IDR_BANNER_2 103
#define IDR_BANNER_3 104
#define IDR_BANNER_4 105
