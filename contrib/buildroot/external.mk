# SPDX-License-Identifier: MIT
include $(sort $(wildcard $(BR2_EXTERNAL_FIELDKIT_PATH)/fieldkit/*.mk))
