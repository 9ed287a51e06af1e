#include "param_check.h"

#include "gbk_text.h"

const std::string& check_step_text(uint32_t step) {
    static const std::array<std::string, 8> texts = [] {
        const char* const utf8[8] = {"校验成功",           "电阻不合格",     "电流采样不合格",
                                     "电感不合格",         "反电动势系数不合格", "转动惯量不合格",
                                     "匀速运动不合格",     "未知校验结果"};
        std::array<std::string, 8> out;
        for (size_t i = 0; i < out.size(); ++i) out[i] = utf8_to_gbk(utf8[i]).toStdString();
        return out;
    }();
    return texts[step < 7 ? step : 7];
}

CheckData make_check_data(bool pass, std::string& result, std::array<float, 12>& values) {
    CheckData data;
    data.pass = pass;
    // A row must never carry the text or the values of the check before.
    data.result = result.empty() ? check_step_text(7) : std::move(result);
    result.clear();
    data.current_sample_error_k = values[0];
    data.current_sample_error_b = values[1];
    data.motor_temp = values[2];
    data.driver_temp = values[3];
    data.phase_R = values[4];
    data.phase_L = values[5];
    data.non_load_current_average = values[6];
    data.non_load_current_peak = values[7];
    data.back_EMF = values[8];
    data.torque_k = values[9];
    data.non_load_torque = values[10];
    data.moment_of_inertia = values[11];
    values.fill(0.0f);
    return data;
}
